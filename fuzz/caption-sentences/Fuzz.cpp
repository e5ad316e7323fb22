// Running transcripts as the recognizer may spell them, split into sentences.

#include "app/services/captions/CaptionSentences.h"
#include "fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QString text = QString::fromUtf8(FuzzInput::bytes(data, size));
    CaptionSentences::latestCompletedSentence(text);
    CaptionSentences::latestSentenceOrFragment(text);
    return 0;
}
