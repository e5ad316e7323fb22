#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// Reads archive members and writes tar and zip archives from them, so tests can craft damaged
// and hostile checkpoints out of a real one.
namespace ArchiveTestSupport {

struct Member {
    enum class Kind { file, symlink, hardlink };
    std::string name;
    std::string content; // a link's target for links
    Kind kind = Kind::file;
};

// Every member of a tar (plain or gzip) or zip archive, in order, names as stored.
std::vector<Member> readMembers(const std::string& archiveBytes);

std::string tar(const std::vector<Member>& members, bool gzip = false);
std::string storedZip(const std::vector<Member>& members);

// Rewrites the declared size of the tar member `name` (GNU base-256 form, so any size fits).
void setDeclaredSize(std::string& tarBytes, const std::string& name, std::uint64_t size);

std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& content);

} // namespace ArchiveTestSupport
