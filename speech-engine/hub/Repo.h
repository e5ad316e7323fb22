#pragma once

#include <QString>

#include <array>
#include <functional>

// A chunk-size variant of the English streaming model. The hub publishes one NeMo checkpoint;
// each variant is imported from it into its own local folder.
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
    // Branch, tag or commit the checkpoint is taken from; RLY_MODEL_REVISION overrides it.
    // A branch is resolved to its commit before anything is fetched.
    static QString revision();

    // Local folder, relative to the models root.
    QString folderName() const;
    int chunkMs() const;

    constexpr bool operator==(const Repo&) const = default;

private:
    Case m_case;
};

template <> struct std::hash<Repo> {
    std::size_t operator()(Repo repo) const noexcept { return std::size_t(repo.value()); }
};
