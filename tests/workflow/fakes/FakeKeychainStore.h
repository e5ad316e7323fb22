#pragma once

#include "app/workflow/contracts/IKeychainStore.h"
#include "tests/workflow/fakes/Script.h"

#include <tuple>

// The key store: one optional key; saving can fail and loading can be held.
class FakeKeychainStore : public IKeychainStore {
public:
    QCoro::Task<> saveAPIKey(QString key) override;
    QCoro::Task<std::optional<QString>> loadAPIKey() override;
    QCoro::Task<> deleteAPIKey() override;

    std::optional<QString> storedKey;
    Script<std::tuple<>> saves;
    Script<std::tuple<>> loads;
    int loadCount = 0;
};
