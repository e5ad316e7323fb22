#include "speech-engine/import/checkpoint/NemoArchive.h"

#include "speech-engine/import/checkpoint/ImportFailure.h"

#include <archive.h>
#include <archive_entry.h>

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

namespace {

// A published 0.6 B checkpoint holds about 2.4 GB of weights; configs and tokenizers are small.
constexpr std::int64_t maxWeightsBytes = std::int64_t{32} << 30;
constexpr std::int64_t maxSmallMemberBytes = std::int64_t{16} << 20;
constexpr std::int64_t diskSpaceMargin = std::int64_t{64} << 20;

using ArchivePtr = std::unique_ptr<archive, decltype(&archive_read_free)>;

[[noreturn]] void fail(const std::string& message) {
    ImportFailure::raise(message);
}

[[noreturn]] void failDamaged(archive* reader) {
    fail("The checkpoint archive is damaged or truncated: " + ImportFailure::archiveError(reader));
}

bool isGzip(std::span<const std::byte> head) {
    return head.size() >= 2 && head[0] == std::byte{0x1f} && head[1] == std::byte{0x8b};
}

ArchivePtr newTarReader(bool gzip) {
    ArchivePtr reader(archive_read_new(), archive_read_free);
    if (!reader)
        fail("Out of memory opening the checkpoint archive");
    archive_read_support_format_tar(reader.get());
    if (gzip)
        archive_read_support_filter_gzip(reader.get());
    return reader;
}

bool isTokenizerModel(const std::string& name) {
    return name.size() > 6 && name.ends_with(".model") && name.find('/') == std::string::npos;
}

bool isSmall(const std::string& name) {
    return name == NemoArchive::configMember || isTokenizerModel(name);
}

// The member's name without a leading "./"; refuses names that point outside the archive's
// folder and anything but regular files and folders.
std::string checkedName(archive_entry* entry) {
    const char* raw = archive_entry_pathname(entry);
    std::string name = raw ? raw : "";
    if (name.starts_with("./"))
        name.erase(0, 2);
    if (name.starts_with("/"))
        fail("The checkpoint archive has a member with an absolute path: " + name);
    for (std::size_t start = 0; start <= name.size();) {
        const std::size_t end = std::min(name.find('/', start), name.size());
        if (name.compare(start, end - start, "..") == 0)
            fail("The checkpoint archive has a member name containing \"..\": " + name);
        start = end + 1;
    }
    if (archive_entry_hardlink(entry) || archive_entry_filetype(entry) == AE_IFLNK)
        fail("The checkpoint archive has a link member, which a checkpoint never holds: " + name);
    const auto type = archive_entry_filetype(entry);
    if (type != AE_IFREG && type != AE_IFDIR)
        fail("The checkpoint archive has a member that is not a file or folder: " + name);
    return name;
}

std::int64_t checkedSize(archive_entry* entry, const std::string& name) {
    if (!archive_entry_size_is_set(entry) || archive_entry_size(entry) < 0)
        fail("The checkpoint archive member " + name + " has no valid size");
    const std::int64_t size = archive_entry_size(entry);
    if (size > (isSmall(name) ? maxSmallMemberBytes : maxWeightsBytes))
        fail("The checkpoint archive member " + name + " declares " + std::to_string(size) +
             " bytes, more than a checkpoint can hold");
    return size;
}

// Passes the member's data in blocks to `sink`; fails when it ends before its declared size.
void readData(archive* reader, std::int64_t size,
              const std::function<void(const char*, std::size_t)>& sink) {
    std::vector<char> block(1 << 20);
    std::int64_t total = 0;
    for (;;) {
        const la_ssize_t count = archive_read_data(reader, block.data(), block.size());
        if (count < 0)
            failDamaged(reader);
        if (count == 0)
            break;
        total += count;
        if (total > size)
            failDamaged(reader);
        sink(block.data(), static_cast<std::size_t>(count));
    }
    if (total != size)
        fail("The checkpoint archive is truncated: a member ends before its declared size");
}

void checkFreeSpace(const std::filesystem::path& folder, std::int64_t needed) {
    struct statvfs info {};
    if (statvfs(folder.c_str(), &info) != 0)
        fail("Cannot check the free space in " + folder.string());
    const auto available =
        static_cast<std::int64_t>(info.f_bavail) * static_cast<std::int64_t>(info.f_frsize);
    if (available < needed + diskSpaceMargin)
        fail("Not enough free disk space to extract the checkpoint's weights: " +
             std::to_string((needed + diskSpaceMargin) >> 20) + " MB needed, " +
             std::to_string(available >> 20) + " MB free in " + folder.string());
}

void extractWeights(archive* reader, std::int64_t size, const std::filesystem::path& file) {
    checkFreeSpace(file.parent_path(), size);
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        fail("Cannot create the scratch file " + file.string());
    std::unique_ptr<FILE, decltype(&std::fclose)> out(::fdopen(fd, "wb"), &std::fclose);
    if (!out) {
        ::close(fd);
        fail("Cannot create the scratch file " + file.string());
    }
    const std::string writeFailure =
        "Cannot write the scratch file " + file.string() + " (is the disk full?)";
    readData(reader, size, [&](const char* data, std::size_t count) {
        if (std::fwrite(data, 1, count, out.get()) != count)
            fail(writeFailure);
    });
    if (std::fclose(out.release()) != 0)
        fail(writeFailure);
}

std::string readSmall(archive* reader, std::int64_t size) {
    std::string content;
    content.reserve(static_cast<std::size_t>(size));
    readData(reader, size,
             [&](const char* data, std::size_t count) { content.append(data, count); });
    return content;
}

// What one pass over the archive keeps: the config, and of the tokenizer models only the one the
// config names. Those that come before the config are held until it arrives, within the room
// one small member may take, so that a crowd of them cannot fill the memory.
class KeptMembers {
public:
    explicit KeptMembers(const NemoArchive::TokenizerOf& tokenizerOf)
        : m_tokenizerOf(tokenizerOf) {}

    bool wants(const std::string& name) const {
        return name == NemoArchive::configMember ||
               (isTokenizerModel(name) && (!m_config || name == m_tokenizerName));
    }

    void take(archive* reader, const std::string& name, std::int64_t size) {
        if (name != NemoArchive::configMember) {
            m_waitingBytes += m_config ? 0 : size;
            if (m_waitingBytes > maxSmallMemberBytes)
                fail("The checkpoint archive holds more tokenizer models than a checkpoint uses");
            m_tokenizers[name] = readSmall(reader, size);
            return;
        }
        m_config = readSmall(reader, size);
        m_tokenizerName = m_tokenizerOf(*m_config);
        std::erase_if(m_tokenizers,
                      [&](const auto& kept) { return kept.first != m_tokenizerName; });
    }

    NemoArchive::Members result() {
        if (!m_config)
            fail(std::string("The checkpoint archive has no ") + NemoArchive::configMember);
        const auto tokenizer = m_tokenizers.find(m_tokenizerName);
        if (tokenizer == m_tokenizers.end())
            fail("The checkpoint archive has no " + m_tokenizerName);
        return {std::move(*m_config), std::move(tokenizer->second)};
    }

private:
    const NemoArchive::TokenizerOf& m_tokenizerOf;
    std::optional<std::string> m_config;
    std::string m_tokenizerName;
    std::map<std::string, std::string> m_tokenizers;
    std::int64_t m_waitingBytes = 0;
};

NemoArchive::Members readMembers(archive* reader, const std::filesystem::path& weightsFile,
                                 const NemoArchive::TokenizerOf& tokenizerOf) {
    KeptMembers kept(tokenizerOf);
    std::set<std::string> seen;
    bool sawWeights = false;
    for (;;) {
        archive_entry* entry = nullptr;
        const int status = archive_read_next_header(reader, &entry);
        if (status == ARCHIVE_EOF)
            break;
        if (status < ARCHIVE_WARN)
            failDamaged(reader);
        const std::string name = checkedName(entry);
        if (archive_entry_filetype(entry) == AE_IFDIR)
            continue;
        if (!seen.insert(name).second)
            fail("The checkpoint archive holds " + name + " twice");
        const std::int64_t size = checkedSize(entry, name);
        if (name == NemoArchive::weightsMember) {
            extractWeights(reader, size, weightsFile);
            sawWeights = true;
        } else if (kept.wants(name)) {
            kept.take(reader, name, size);
        } else if (archive_read_data_skip(reader) != ARCHIVE_OK) {
            failDamaged(reader);
        }
    }
    if (!sawWeights)
        fail(std::string("The checkpoint archive has no ") + NemoArchive::weightsMember);
    return kept.result();
}

} // namespace

NemoArchive::Members NemoArchive::extract(const std::filesystem::path& path,
                                          const std::filesystem::path& weightsFile,
                                          const TokenizerOf& tokenizerOf) {
    std::array<std::byte, 2> head{};
    std::ifstream(path, std::ios::binary).read(reinterpret_cast<char*>(head.data()), head.size());
    const ArchivePtr reader = newTarReader(isGzip(head));
    if (archive_read_open_filename(reader.get(), path.c_str(), 1 << 16) != ARCHIVE_OK)
        fail("Cannot open the checkpoint " + path.string() +
             " as an archive: " + ImportFailure::archiveError(reader.get()));
    return readMembers(reader.get(), weightsFile, tokenizerOf);
}

NemoArchive::Members NemoArchive::extract(std::span<const std::byte> bytes,
                                          const std::filesystem::path& weightsFile,
                                          const TokenizerOf& tokenizerOf) {
    const ArchivePtr reader = newTarReader(isGzip(bytes));
    if (archive_read_open_memory(reader.get(), bytes.data(), bytes.size()) != ARCHIVE_OK)
        failDamaged(reader.get());
    return readMembers(reader.get(), weightsFile, tokenizerOf);
}
