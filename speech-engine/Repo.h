#pragma once

#include <QString>

#include <array>
#include <functional>

// A downloadable variant of the streaming model on the model hub.
class Repo {
public:
    enum Case {
        nemotronStreaming1120,
        nemotronStreaming560,
        nemotronStreaming160,
        nemotronStreaming80
    };

    constexpr Repo(Case value) : m_case(value) {}

    static constexpr std::array<Repo, 4> allCases() {
        return {nemotronStreaming1120, nemotronStreaming560, nemotronStreaming160,
                nemotronStreaming80};
    }

    constexpr Case value() const { return m_case; }

    // Repository identifier on the hub ("owner/name"); RLY_MODEL_REPO overrides it.
    static QString remotePath();
    // Commit every listing and download is pinned to; RLY_MODEL_REVISION overrides it.
    static QString revision();

    // Local folder, relative to the models root.
    QString folderName() const;
    // Folder inside the remote repository.
    QString subPath() const;

    constexpr bool operator==(const Repo&) const = default;

private:
    Case m_case;
};

template <> struct std::hash<Repo> {
    std::size_t operator()(Repo repo) const noexcept { return std::size_t(repo.value()); }
};
