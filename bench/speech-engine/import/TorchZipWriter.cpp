#include "bench/speech-engine/import/TorchZipWriter.h"

#include <zlib.h>

#include <limits>
#include <stdexcept>

namespace {

constexpr std::uint64_t alignment = 64;

void put16(std::string& bytes, std::uint32_t value) {
    bytes += static_cast<char>(value & 0xff);
    bytes += static_cast<char>((value >> 8) & 0xff);
}

void put32(std::string& bytes, std::uint32_t value) {
    put16(bytes, value & 0xffff);
    put16(bytes, value >> 16);
}

std::uint32_t narrow(std::uint64_t value) {
    if (value > std::numeric_limits<std::uint32_t>::max())
        throw std::runtime_error("The weights file would need zip64 (over 4 GB)");
    return static_cast<std::uint32_t>(value);
}

} // namespace

TorchZipWriter::TorchZipWriter(const std::filesystem::path& file)
    : out(file, std::ios::binary | std::ios::trunc) {
    if (!out)
        throw std::runtime_error("Cannot write " + file.string());
}

void TorchZipWriter::add(const std::string& name, std::span<const std::byte> data) {
    const auto crc = static_cast<std::uint32_t>(
        crc32_z(0, reinterpret_cast<const Bytef*>(data.data()), data.size()));
    const Entry entry{name, crc, narrow(data.size()), narrow(position)};
    std::string header;
    put32(header, 0x04034b50);
    put16(header, 20); // version needed
    put16(header, 0);  // flags
    put16(header, 0);  // stored
    put32(header, 0);  // time, date
    put32(header, entry.crc);
    put32(header, entry.size);
    put32(header, entry.size);
    put16(header, static_cast<std::uint32_t>(name.size()));
    const std::uint64_t unpadded = position + 30 + name.size() + 4;
    const auto padding = static_cast<std::uint32_t>((alignment - unpadded % alignment) % alignment);
    put16(header, 4 + padding);
    header += name;
    put16(header, 0x4246); // "FB", torch's padding field
    put16(header, padding);
    header.append(padding, 'Z');
    write(header);
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
    position += data.size();
    entries.push_back(entry);
}

void TorchZipWriter::add(const std::string& name, const std::string& text) {
    add(name, std::as_bytes(std::span(text)));
}

void TorchZipWriter::finish() {
    const std::uint64_t directoryStart = position;
    for (const Entry& entry : entries) {
        std::string record;
        put32(record, 0x02014b50);
        put16(record, 20); // made by
        put16(record, 20); // needed
        put16(record, 0);
        put16(record, 0);
        put32(record, 0);
        put32(record, entry.crc);
        put32(record, entry.size);
        put32(record, entry.size);
        put16(record, static_cast<std::uint32_t>(entry.name.size()));
        put16(record, 0); // extra
        put16(record, 0); // comment
        put16(record, 0); // disk
        put16(record, 0); // internal attributes
        put32(record, 0); // external attributes
        put32(record, entry.offset);
        record += entry.name;
        write(record);
    }
    std::string end;
    put32(end, 0x06054b50);
    put32(end, 0); // disk numbers
    put16(end, static_cast<std::uint32_t>(entries.size()));
    put16(end, static_cast<std::uint32_t>(entries.size()));
    put32(end, narrow(position - directoryStart));
    put32(end, narrow(directoryStart));
    put16(end, 0);
    write(end);
    out.close();
    if (!out)
        throw std::runtime_error("Writing the weights file failed");
}

void TorchZipWriter::write(const std::string& bytes) {
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    position += bytes.size();
}
