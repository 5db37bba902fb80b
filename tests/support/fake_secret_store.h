// A keyring for tests: items in memory, failures on cue, every call counted.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "core/secret_store.h"

class FakeSecretStore final : public platform::SecretStore {
public:
    struct Item {
        std::string label;
        platform::SecretAttributes attributes;
        std::string secret;
    };

    // No keyring at all until a test starts one: every call says NoService.
    bool running = false;
    // Every call says Locked (the user dismissed the prompt).
    bool locked = false;
    // What the next calls of each kind report instead of doing their work.
    platform::SecretStatus storeFails = platform::SecretStatus::Ok;
    platform::SecretStatus lookupFails = platform::SecretStatus::Ok;
    // A keyring that gives back something else than it was given.
    bool garbles = false;

    std::vector<Item> items;
    int stores = 0;
    int lookups = 0;
    int clears = 0;

    // The item with exactly these attributes, or null.
    const Item* find(const platform::SecretAttributes& attributes) const {
        const auto it =
            std::find_if(items.begin(), items.end(), [&](const Item& i) { return sameSet(i.attributes, attributes); });
        return it == items.end() ? nullptr : &*it;
    }

    platform::SecretStatus Store(const std::string& label, const platform::SecretAttributes& attributes,
                                 const std::string& secret) override {
        ++stores;
        if (const auto s = refusal(storeFails); s != platform::SecretStatus::Ok)
            return s;
        items.erase(std::remove_if(items.begin(), items.end(),
                                   [&](const Item& i) { return sameSet(i.attributes, attributes); }),
                    items.end());
        items.push_back(Item{label, attributes, secret});
        return platform::SecretStatus::Ok;
    }

    platform::SecretStatus Lookup(const platform::SecretAttributes& attributes, std::string& secret) override {
        ++lookups;
        lookupLimits.push_back(limit);
        if (const auto s = refusal(lookupFails); s != platform::SecretStatus::Ok)
            return s;
        for (const Item& i : items) {
            if (matches(i.attributes, attributes)) {
                secret = garbles ? i.secret + "?" : i.secret;
                return platform::SecretStatus::Ok;
            }
        }
        return platform::SecretStatus::NotFound;
    }

    platform::SecretStatus Clear(const platform::SecretAttributes& attributes) override {
        ++clears;
        if (const auto s = refusal(platform::SecretStatus::Ok); s != platform::SecretStatus::Ok)
            return s;
        const auto before = items.size();
        items.erase(std::remove_if(items.begin(), items.end(),
                                   [&](const Item& i) { return matches(i.attributes, attributes); }),
                    items.end());
        return items.size() == before ? platform::SecretStatus::NotFound : platform::SecretStatus::Ok;
    }

    void Cancel() override {}
    void LimitWaits(std::optional<std::chrono::steady_clock::time_point> l) override { limit = l; }
    // What the last LimitWaits set.
    std::optional<std::chrono::steady_clock::time_point> limit;
    // The limit each Lookup had to end by, in the order of the calls.
    std::vector<std::optional<std::chrono::steady_clock::time_point>> lookupLimits;

private:
    platform::SecretStatus refusal(platform::SecretStatus cue) const {
        if (!running)
            return platform::SecretStatus::NoService;
        if (locked)
            return platform::SecretStatus::Locked;
        return cue;
    }
    // `item` has every one of `wanted`.
    static bool matches(const platform::SecretAttributes& item, const platform::SecretAttributes& wanted) {
        return std::all_of(wanted.begin(), wanted.end(),
                           [&](const auto& a) { return std::find(item.begin(), item.end(), a) != item.end(); });
    }
    static bool sameSet(const platform::SecretAttributes& a, const platform::SecretAttributes& b) {
        return a.size() == b.size() && matches(a, b);
    }
};
