#include "tests/services/CaptionTestModels.h"

#include "tests/speech-engine/models/ModelFolder.h"
#include "tests/speech-engine/models/TinyModels.h"

namespace {

// cache_len starts at 0 and counts the chunks heard so far; a heard chunk emits that word.
const std::string countingEncoder = R"(
def forward(self, mel: Tensor, mel_length: Tensor, cache_channel: Tensor, cache_time: Tensor,
            cache_len: Tensor) -> Dict[str, Tensor]:
    frames = mel[0, 0, 9:]
    heard = bool(frames.abs().max() >= %THRESHOLD%)
    count = int(cache_len[0])
    ids = torch.full_like(frames, 128.0).long()
    if heard and count < %WORDS%:
        ids[0] = count
    return {"encoded": torch.one_hot(ids, 129).t().unsqueeze(0).float(),
            "cache_channel_out": cache_channel.clone(), "cache_time_out": cache_time.clone(),
            "cache_len_out": cache_len + (1 if heard else 0)}
)";

QStringList vocabulary(const QStringList& words) {
    QStringList tokens = words;
    while (tokens.size() < 128)
        tokens << QStringLiteral("▁t%1").arg(tokens.size());
    return tokens;
}

void write(const QString& folder, const std::string& encoder, const QStringList& words) {
    writeModelFolder(
        folder,
        ModelSources{TinyModels::preprocessor, encoder, TinyModels::decoder, TinyModels::joint},
        TinyModels::metadata(), vocabulary(words));
}

std::string replaced(std::string text, const std::string& marker, const std::string& value) {
    return text.replace(text.find(marker), marker.size(), value);
}

} // namespace

void CaptionTestModels::writeSpelling(const QString& folder, const QStringList& words) {
    write(folder, TinyModels::spellingEncoder, words);
}

void CaptionTestModels::writeCounting(const QString& folder, const QStringList& words,
                                      double threshold) {
    auto encoder = replaced(countingEncoder, "%THRESHOLD%", std::to_string(threshold));
    encoder = replaced(encoder, "%WORDS%", std::to_string(words.size()));
    write(folder, encoder, words);
}
