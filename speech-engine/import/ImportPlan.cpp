#include "speech-engine/import/ImportPlan.h"

#include <algorithm>
#include <string>

namespace {

std::int64_t chunkMelFramesOf(const NemoModelConfig& config, std::int64_t rightContext) {
    return config.encoder.subsamplingFactor * (rightContext + 1);
}

std::int64_t chunkMsOf(const NemoModelConfig& config, std::int64_t rightContext) {
    return chunkMelFramesOf(config, rightContext) * config.preprocessor.hopSamples * 1000 /
           config.sampleRate;
}

// The first listed context whose chunks last `chunkMs`: NeMo's default when that is the one.
std::pair<std::int64_t, std::int64_t> contextFor(const NemoModelConfig& config, int chunkMs) {
    const auto& contexts = config.encoder.attContextSizes;
    const auto found = std::find_if(contexts.begin(), contexts.end(), [&](const auto& context) {
        return chunkMsOf(config, context.second) == chunkMs;
    });
    if (found != contexts.end())
        return *found;
    std::vector<std::int64_t> offered;
    for (const auto& context : contexts) {
        if (std::ranges::find(offered, chunkMsOf(config, context.second)) == offered.end())
            offered.push_back(chunkMsOf(config, context.second));
    }
    std::string list;
    for (const auto ms : offered)
        list += (list.empty() ? "" : ", ") + std::to_string(ms);
    throw ModelImportError("The checkpoint has no " + std::to_string(chunkMs) +
                           " ms chunk size; it offers " + list + " ms");
}

std::string someLocales(const NemoModelConfig::Prompt& prompt) {
    constexpr std::size_t shown = 8;
    std::string list;
    std::size_t count = 0;
    for (const auto& [locale, index] : prompt.dictionary) {
        if (count++ == shown)
            return list + ", ...";
        list += (list.empty() ? "" : ", ") + locale;
    }
    return list;
}

std::optional<std::int64_t> promptFor(const NemoModelConfig& config,
                                      const std::optional<std::string>& locale) {
    const auto& prompt = config.prompt;
    if (!prompt.enabled) {
        if (locale)
            throw ModelImportError("The checkpoint has no language prompts; it takes no locale");
        return std::nullopt;
    }
    if (!locale)
        throw ModelImportError("The checkpoint is multilingual: name a locale, such as " +
                               someLocales(prompt));
    const auto found = prompt.dictionary.find(*locale);
    if (found == prompt.dictionary.end())
        throw ModelImportError("The checkpoint has no prompt for the locale \"" + *locale +
                               "\"; it knows " + someLocales(prompt));
    return found->second;
}

} // namespace

ImportPlan ImportPlan::choose(const NemoModelConfig& config, const ImportOptions& options) {
    ImportPlan plan;
    plan.attContext = contextFor(config, options.chunkMs);
    plan.chunkMelFrames = chunkMelFramesOf(config, plan.attContext.second);
    plan.promptIndex = promptFor(config, options.locale);
    return plan;
}
