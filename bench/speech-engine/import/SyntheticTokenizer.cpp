#include "bench/speech-engine/import/SyntheticTokenizer.h"

#include <sentencepiece_trainer.h>

#include <random>
#include <stdexcept>

namespace {

// Sentences of pseudo-words built from a few hundred syllables: enough distinct, frequent
// substrings for BPE to reach a vocabulary of tens of thousands.
class GeneratedSentences : public sentencepiece::SentenceIterator {
public:
    GeneratedSentences(int count, std::uint32_t seed) : remaining(count), random(seed) { Next(); }

    bool done() const override { return remaining < 0; }
    void Next() override {
        --remaining;
        sentence.clear();
        for (int word = 0; word < 12; ++word) {
            if (word > 0)
                sentence += ' ';
            const int syllables = 1 + static_cast<int>(random() % 4);
            for (int s = 0; s < syllables; ++s)
                sentence += syllable();
        }
    }
    const std::string& value() const override { return sentence; }
    sentencepiece::util::Status status() const override { return {}; }

private:
    int remaining;
    std::mt19937 random;
    std::string sentence;

    std::string syllable() {
        static const char* const onsets[] = {"b",  "c",  "d",  "f",  "g",  "h",  "j",  "k", "l",
                                             "m",  "n",  "p",  "r",  "s",  "t",  "v",  "w", "z",
                                             "ch", "sh", "th", "st", "tr", "pl", "gr", ""};
        static const char* const vowels[] = {"a", "e", "i", "o", "u", "ai", "ou", "ee", "oo", "y"};
        static const char* const codas[] = {"", "", "", "n", "s", "t", "r", "l", "m", "ng", "ck"};
        // Zipf-like choice so that some syllables, and so their merges, are frequent.
        const auto pick = [&](std::size_t size) {
            const double u = std::uniform_real_distribution<double>(0, 1)(random);
            return static_cast<std::size_t>(static_cast<double>(size) * u * u);
        };
        return std::string(onsets[pick(std::size(onsets))]) + vowels[pick(std::size(vowels))] +
               codas[pick(std::size(codas))];
    }
};

} // namespace

std::string SyntheticTokenizer::train(int pieces, const std::vector<std::string>& userSymbols) {
    std::string symbols;
    for (const auto& symbol : userSymbols)
        symbols += (symbols.empty() ? "" : ",") + symbol;
    std::string args = "--model_type=bpe --vocab_size=" + std::to_string(pieces) +
                       " --character_coverage=1.0 --hard_vocab_limit=true --minloglevel=2"
                       " --input_sentence_size=0 --num_threads=2 --bos_id=-1 --eos_id=-1";
    if (!symbols.empty())
        args += " --user_defined_symbols=" + symbols;
    GeneratedSentences sentences(4 * pieces + 5000, 7);
    std::string model;
    const auto status = sentencepiece::SentencePieceTrainer::Train(args, &sentences, &model);
    if (!status.ok())
        throw std::runtime_error("Training the tokenizer failed: " + status.ToString());
    return model;
}
