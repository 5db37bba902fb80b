// Fakes for the settings store: an in-memory hive that records what is
// written and fails on cue, and a settings target that records what it is given.
#pragma once

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/settings_store.h"
#include "platform/hive_file.h"

class FakeHive final : public platform::Hive {
public:
    // Value names whose read or write fails, and whether creating keys fails.
    std::set<std::string> failReadOf, failWriteOf;
    bool failCreate = false;
    // Every successful write as "key\name", in order; and every createKey call.
    std::vector<std::string> writes;
    int createCalls = 0;

    void put(const std::string& key, const std::string& name, platform::HiveValue v) {
        keys_[fold(key)][fold(name)] = std::move(v);
    }
    const platform::HiveValue* find(const std::string& key, const std::string& name) const {
        const auto k = keys_.find(fold(key));
        if (k == keys_.end())
            return nullptr;
        const auto v = k->second.find(fold(name));
        return v == k->second.end() ? nullptr : &v->second;
    }

    bool keyExists(std::string_view path) override {
        const std::string p = fold(std::string(path));
        return p.empty() || std::any_of(keys_.begin(), keys_.end(),
                                        [&](const auto& k) { return k.first == p || k.first.rfind(p + "\\", 0) == 0; });
    }
    bool createKey(std::string_view path) override {
        ++createCalls;
        if (failCreate)
            return false;
        keys_[fold(std::string(path))];
        return true;
    }
    bool valueExists(std::string_view key, std::string_view name) override {
        return find(std::string(key), std::string(name)) != nullptr;
    }
    bool readValue(std::string_view key, std::string_view name, platform::HiveValue& out) override {
        const platform::HiveValue* v = find(std::string(key), std::string(name));
        if (v == nullptr || failReadOf.count(std::string(name)) != 0)
            return false;
        out = *v;
        return true;
    }
    bool writeValue(std::string_view key, std::string_view name, const platform::HiveValue& v) override {
        if (!keyExists(key) || failWriteOf.count(std::string(name)) != 0)
            return false;
        put(std::string(key), std::string(name), v);
        writes.push_back(std::string(key) + "\\" + std::string(name));
        return true;
    }

private:
    static std::string fold(std::string s) {
        for (char& c : s)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        return s;
    }
    std::map<std::string, std::map<std::string, platform::HiveValue>> keys_;
};

// Records what a load sets and how often it found no key.
using RecordingTarget = PlainSettings;
