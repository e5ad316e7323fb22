#include "speech-engine/import/checkpoint/TorchWeights.h"

#include "speech-engine/import/checkpoint/ImportFailure.h"
#include "speech-engine/import/checkpoint/StateDictPickle.h"

#include <archive.h>
#include <archive_entry.h>

#include <bit>
#include <cctype>
#include <cstring>
#include <functional>
#include <memory>

static_assert(std::endian::native == std::endian::little, "storages are read as little-endian");

namespace {

using Bytes = std::vector<std::byte>;
using Storage = std::shared_ptr<const Bytes>;
using ArchivePtr = std::unique_ptr<archive, decltype(&archive_read_free)>;

[[noreturn]] void fail(const std::string& message) {
    ImportFailure::raise("The checkpoint's weights " + message);
}

// Every entry's bytes by name. Their total may not exceed the file's size: torch stores entries
// uncompressed, and a zip whose entries overlap or inflate could otherwise claim any amount.
std::map<std::string, Bytes> readEntries(const std::function<int(archive*)>& open,
                                         std::uint64_t archiveBytes) {
    ArchivePtr reader(archive_read_new(), archive_read_free);
    if (!reader)
        fail("cannot be read: out of memory");
    archive_read_support_format_zip_seekable(reader.get());
    if (open(reader.get()) != ARCHIVE_OK)
        fail("are not a readable zip file: " + ImportFailure::archiveError(reader.get()));
    std::map<std::string, Bytes> entries;
    std::uint64_t budget = archiveBytes;
    for (;;) {
        archive_entry* entry = nullptr;
        const int status = archive_read_next_header(reader.get(), &entry);
        if (status == ARCHIVE_EOF)
            return entries;
        if (status < ARCHIVE_WARN)
            fail("are damaged: " + ImportFailure::archiveError(reader.get()));
        if (archive_entry_filetype(entry) == AE_IFDIR)
            continue;
        const std::string name = archive_entry_pathname(entry) ? archive_entry_pathname(entry) : "";
        const std::int64_t size = archive_entry_size(entry);
        if (size < 0 || static_cast<std::uint64_t>(size) > budget)
            fail("file's entry " + name + " declares more bytes than the file holds");
        budget -= static_cast<std::uint64_t>(size);
        Bytes bytes(static_cast<std::size_t>(size));
        std::size_t filled = 0;
        while (filled < bytes.size()) {
            const la_ssize_t count =
                archive_read_data(reader.get(), bytes.data() + filled, bytes.size() - filled);
            if (count <= 0)
                fail("file's entry " + name +
                     " is damaged or truncated: " + ImportFailure::archiveError(reader.get()));
            filled += static_cast<std::size_t>(count);
        }
        if (!entries.emplace(name, std::move(bytes)).second)
            fail("file holds the entry " + name + " twice");
    }
}

std::string findFolder(const std::map<std::string, Bytes>& entries) {
    std::string folder;
    int found = 0;
    for (const auto& [name, bytes] : entries)
        if (name == "data.pkl" || name.ends_with("/data.pkl")) {
            folder = name.substr(0, name.size() - std::strlen("data.pkl"));
            ++found;
        }
    if (found != 1)
        fail(found == 0 ? "file has no data.pkl: it is not a PyTorch checkpoint"
                        : "file has more than one data.pkl");
    return folder;
}

void checkByteOrder(const std::map<std::string, Bytes>& entries, const std::string& folder) {
    const auto found = entries.find(folder + "byteorder");
    if (found == entries.end())
        return; // written before PyTorch recorded it: little-endian
    std::string order(reinterpret_cast<const char*>(found->second.data()), found->second.size());
    while (!order.empty() && std::isspace(static_cast<unsigned char>(order.back())))
        order.pop_back();
    if (order != "little")
        fail("are stored with byte order \"" + order.substr(0, 16) +
             "\"; only little-endian weights can be read");
}

std::int64_t elementBytes(CheckpointTensor::Type type) {
    return type == CheckpointTensor::Type::float32 ? 4 : 8;
}

std::int64_t checkedProduct(std::int64_t a, std::int64_t b, const std::string& tensor) {
    std::int64_t product = 0;
    if (__builtin_mul_overflow(a, b, &product))
        fail("give tensor " + tensor + " an absurd size");
    return product;
}

std::vector<std::int64_t> rowMajorStrides(const StateDictPickle::Tensor& t) {
    std::vector<std::int64_t> strides(t.shape.size(), 1);
    for (std::size_t i = t.shape.size(); i > 1; --i)
        strides[i - 2] =
            checkedProduct(strides[i - 1], std::max<std::int64_t>(t.shape[i - 1], 1), t.name);
    return strides;
}

// Only plain row-major views are read: every other layout (transposed, strided, or repeating
// elements with a stride of 0) would let a small storage claim any number of elements. Returns
// the view's strides.
std::vector<std::int64_t> checkView(const StateDictPickle::Tensor& t,
                                    std::int64_t storageElements) {
    std::int64_t elements = 1;
    for (const std::int64_t size : t.shape) {
        if (size < 0)
            fail("give tensor " + t.name + " a negative size");
        elements = checkedProduct(elements, size, t.name);
    }
    const auto expected = rowMajorStrides(t);
    for (std::size_t i = 0; i < t.shape.size(); ++i)
        if (elements > 0 && t.shape[i] > 1 && t.strides[i] != expected[i])
            fail("store tensor " + t.name + " in a layout other than row-major");
    if (t.offset < 0 || t.offset > storageElements || elements > storageElements - t.offset)
        fail("give tensor " + t.name + " a view outside its storage");
    return expected;
}

std::map<std::string, CheckpointTensor> assemble(std::map<std::string, Bytes> entries) {
    const std::string folder = findFolder(entries);
    checkByteOrder(entries, folder);
    const auto& pickle = entries.at(folder + "data.pkl");
    const auto tensors = StateDictPickle::parse(pickle);
    std::map<std::string, std::pair<CheckpointTensor::Type, Storage>> storages;
    std::map<std::string, CheckpointTensor> result;
    for (const auto& t : tensors) {
        const std::string entryName = folder + "data/" + t.storageKey;
        auto shared = storages.find(entryName);
        if (shared == storages.end()) {
            const auto entry = entries.find(entryName);
            if (entry == entries.end())
                fail("file has no data for tensor " + t.name);
            const std::int64_t expected =
                checkedProduct(t.storageElements, elementBytes(t.type), t.name);
            if (static_cast<std::int64_t>(entry->second.size()) != expected)
                fail("file's storage for tensor " + t.name + " holds " +
                     std::to_string(entry->second.size()) + " bytes, not the declared " +
                     std::to_string(expected));
            shared = storages
                         .emplace(entryName, std::pair{t.type, std::make_shared<const Bytes>(
                                                                   std::move(entry->second))})
                         .first;
        }
        if (shared->second.first != t.type)
            fail("file's storage for tensor " + t.name + " is shared by tensors of two types");
        const auto storageBytes = static_cast<std::int64_t>(shared->second.second->size());
        auto strides = checkView(t, storageBytes / elementBytes(t.type));
        result.emplace(t.name, CheckpointTensor{t.type, t.shape, std::move(strides), t.offset,
                                                shared->second.second});
    }
    return result;
}

} // namespace

std::map<std::string, CheckpointTensor> TorchWeights::read(const std::filesystem::path& file) {
    std::error_code error;
    const auto size = std::filesystem::file_size(file, error);
    if (error)
        fail("file " + file.string() + " cannot be read");
    return assemble(readEntries(
        [&](archive* reader) { return archive_read_open_filename(reader, file.c_str(), 1 << 20); },
        size));
}

std::map<std::string, CheckpointTensor> TorchWeights::read(std::span<const std::byte> zip) {
    return assemble(readEntries(
        [&](archive* reader) { return archive_read_open_memory(reader, zip.data(), zip.size()); },
        zip.size()));
}
