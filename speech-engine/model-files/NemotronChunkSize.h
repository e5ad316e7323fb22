#pragma once

#include "speech-engine/hub/Repo.h"

#include <QString>

#include <array>
#include <functional>
#include <optional>

// The chunk lengths the streaming recognizer can run with; the raw value is milliseconds.
class NemotronChunkSize {
public:
    enum Case { ms1120 = 1120, ms560 = 560, ms160 = 160, ms80 = 80 };

    constexpr NemotronChunkSize(Case value) : m_case(value) {}

    // Accepts exactly 80, 160, 560 and 1120.
    static std::optional<NemotronChunkSize> fromRawValue(int milliseconds);
    // Largest first.
    static constexpr std::array<NemotronChunkSize, 4> allCases() {
        return {ms1120, ms560, ms160, ms80};
    }

    constexpr Case value() const { return m_case; }
    constexpr int rawValue() const { return m_case; }
    // "nemotron_coreml_<ms>ms"
    QString subdirectory() const;
    Repo repo() const;

    constexpr bool operator==(const NemotronChunkSize&) const = default;

private:
    Case m_case;
};

template <> struct std::hash<NemotronChunkSize> {
    std::size_t operator()(NemotronChunkSize size) const noexcept {
        return std::size_t(size.rawValue());
    }
};
