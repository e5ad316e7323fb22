#include "tests/speech-engine/import/ArchiveTestSupport.h"

#include <archive.h>
#include <archive_entry.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

namespace {

void check(int status, archive* a) {
    if (status < ARCHIVE_WARN)
        throw std::runtime_error(archive_error_string(a) ? archive_error_string(a) : "archive");
}

la_ssize_t appendTo(archive*, void* output, const void* data, size_t size) {
    static_cast<std::string*>(output)->append(static_cast<const char*>(data), size);
    return static_cast<la_ssize_t>(size);
}

std::string write(const std::vector<ArchiveTestSupport::Member>& members,
                  int (*setFormat)(archive*), const char* options, bool gzip) {
    std::string output;
    const std::unique_ptr<archive, decltype(&archive_write_free)> writer(archive_write_new(),
                                                                         archive_write_free);
    archive* a = writer.get();
    check(setFormat(a), a);
    if (gzip)
        check(archive_write_add_filter_gzip(a), a);
    if (options)
        check(archive_write_set_options(a, options), a);
    check(archive_write_set_bytes_in_last_block(a, 1), a);
    check(archive_write_open(a, &output, nullptr, appendTo, nullptr), a);
    for (const auto& member : members) {
        const std::unique_ptr<archive_entry, decltype(&archive_entry_free)> entry(
            archive_entry_new(), archive_entry_free);
        archive_entry_copy_pathname(entry.get(), member.name.c_str());
        archive_entry_set_perm(entry.get(), 0644);
        using Kind = ArchiveTestSupport::Member::Kind;
        if (member.kind == Kind::file) {
            archive_entry_set_filetype(entry.get(), AE_IFREG);
            archive_entry_set_size(entry.get(), static_cast<la_int64_t>(member.content.size()));
        } else if (member.kind == Kind::symlink) {
            archive_entry_set_filetype(entry.get(), AE_IFLNK);
            archive_entry_copy_symlink(entry.get(), member.content.c_str());
        } else {
            archive_entry_set_filetype(entry.get(), AE_IFREG);
            archive_entry_copy_hardlink(entry.get(), member.content.c_str());
        }
        check(archive_write_header(a, entry.get()), a);
        if (member.kind == Kind::file && !member.content.empty())
            archive_write_data(a, member.content.data(), member.content.size());
    }
    check(archive_write_close(a), a);
    return output;
}

} // namespace

std::vector<ArchiveTestSupport::Member>
ArchiveTestSupport::readMembers(const std::string& archiveBytes) {
    const std::unique_ptr<archive, decltype(&archive_read_free)> reader(archive_read_new(),
                                                                        archive_read_free);
    archive* a = reader.get();
    archive_read_support_filter_all(a);
    archive_read_support_format_tar(a);
    archive_read_support_format_zip_seekable(a);
    check(archive_read_open_memory(a, archiveBytes.data(), archiveBytes.size()), a);
    std::vector<Member> members;
    archive_entry* entry = nullptr;
    while (archive_read_next_header(a, &entry) == ARCHIVE_OK) {
        if (archive_entry_filetype(entry) == AE_IFDIR)
            continue;
        Member member{archive_entry_pathname(entry), {}};
        member.content.resize(static_cast<std::size_t>(archive_entry_size(entry)));
        std::size_t filled = 0;
        while (filled < member.content.size()) {
            const auto count = archive_read_data(a, member.content.data() + filled,
                                                 member.content.size() - filled);
            if (count <= 0)
                throw std::runtime_error("unreadable member " + member.name);
            filled += static_cast<std::size_t>(count);
        }
        members.push_back(std::move(member));
    }
    return members;
}

std::string ArchiveTestSupport::tar(const std::vector<Member>& members, bool gzip) {
    return write(members, archive_write_set_format_ustar, nullptr, gzip);
}

std::string ArchiveTestSupport::storedZip(const std::vector<Member>& members) {
    return write(members, archive_write_set_format_zip, "zip:compression=store", false);
}

void ArchiveTestSupport::setDeclaredSize(std::string& tarBytes, const std::string& name,
                                         std::uint64_t size) {
    for (std::size_t header = 0; header + 512 <= tarBytes.size(); header += 512) {
        if (std::strncmp(tarBytes.data() + header, name.c_str(), 100) != 0)
            continue;
        char* field = tarBytes.data() + header + 124;
        std::memset(field, 0, 12);
        field[0] = static_cast<char>(0x80);
        for (int i = 11; i >= 4; --i, size >>= 8)
            field[i] = static_cast<char>(size & 0xff);
        std::memset(tarBytes.data() + header + 148, ' ', 8);
        unsigned sum = 0;
        for (int i = 0; i < 512; ++i)
            sum += static_cast<unsigned char>(tarBytes[header + i]);
        std::snprintf(tarBytes.data() + header + 148, 8, "%06o", sum);
        return;
    }
    throw std::runtime_error("no tar header for " + name);
}

std::string ArchiveTestSupport::readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void ArchiveTestSupport::writeFile(const std::filesystem::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary)
        .write(content.data(), static_cast<std::streamsize>(content.size()));
}
