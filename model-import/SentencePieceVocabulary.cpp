#include "model-import/SentencePieceVocabulary.h"

#include "model-import/ImportFailure.h"

#include <sentencepiece_processor.h>

std::vector<std::string> SentencePieceVocabulary::pieces(std::string_view serializedModel) {
    sentencepiece::SentencePieceProcessor processor;
    const auto status = processor.LoadFromSerializedProto(serializedModel);
    if (!status.ok() || processor.GetPieceSize() <= 0)
        ImportFailure::raise("The checkpoint's tokenizer is not a valid SentencePiece model");
    std::vector<std::string> pieces;
    pieces.reserve(static_cast<std::size_t>(processor.GetPieceSize()));
    for (int id = 0; id < processor.GetPieceSize(); ++id)
        pieces.push_back(processor.IdToPiece(id));
    return pieces;
}
