#include "speech-engine/import/checkpoint/SentencePieceVocabulary.h"

#include "speech-engine/import/checkpoint/ImportFailure.h"

#include <cstdint>
#include <optional>

// Read from the protobuf wire format directly: libsentencepiece carries its own protobuf, whose
// exported symbols clash with libtorch's libprotobuf in one process (a crash before main). A
// ModelProto holds its pieces as field 1, each a message whose field 1 is the piece's text.
namespace {

enum WireType : std::uint64_t { varint = 0, fixed64 = 1, lengthDelimited = 2, fixed32 = 5 };

[[noreturn]] void invalid() {
    ImportFailure::raise("The checkpoint's tokenizer is not a valid SentencePiece model");
}

// Reads the fields of one message.
class WireReader {
public:
    explicit WireReader(std::string_view bytes) : m_bytes(bytes) {}

    struct Field {
        std::uint64_t number;
        std::string_view bytes; // of a length-delimited field; empty for the others
    };

    std::optional<Field> next() {
        if (m_position == m_bytes.size())
            return std::nullopt;
        const auto key = readVarint();
        const auto type = key & 7;
        Field field{key >> 3, {}};
        if (type == varint)
            readVarint();
        else if (type == fixed64 || type == fixed32)
            skip(type == fixed64 ? 8 : 4);
        else if (type == lengthDelimited)
            field.bytes = skip(readVarint());
        else
            invalid();
        return field;
    }

private:
    std::uint64_t readVarint() {
        std::uint64_t value = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (m_position == m_bytes.size())
                invalid();
            const auto byte = static_cast<std::uint8_t>(m_bytes[m_position++]);
            value |= std::uint64_t(byte & 0x7f) << shift;
            if (!(byte & 0x80))
                return value;
        }
        invalid();
    }

    std::string_view skip(std::uint64_t length) {
        if (length > m_bytes.size() - m_position)
            invalid();
        const auto skipped = m_bytes.substr(m_position, length);
        m_position += length;
        return skipped;
    }

    std::string_view m_bytes;
    std::size_t m_position = 0;
};

std::string pieceText(std::string_view piece) {
    WireReader reader(piece);
    while (const auto field = reader.next())
        if (field->number == 1)
            return std::string(field->bytes);
    invalid();
}

} // namespace

std::vector<std::string> SentencePieceVocabulary::pieces(std::string_view serializedModel) {
    std::vector<std::string> pieces;
    WireReader reader(serializedModel);
    while (const auto field = reader.next())
        if (field->number == 1)
            pieces.push_back(pieceText(field->bytes));
    if (pieces.empty())
        invalid();
    return pieces;
}
