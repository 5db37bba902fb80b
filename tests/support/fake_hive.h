// An in-memory hive for tests: records what is written and fails on cue.
#pragma once

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/hive.h"

class FakeHive final : public platform::Hive {
public:
    // Value names whose read or write fails, and whether creating keys fails.
    std::set<std::string> failReadOf, failWriteOf;
    bool failCreate = false;
    // What every call reports instead, when set (a damaged or unreadable store).
    platform::HiveError storeError = platform::HiveError::None;
    // Every successful write as "key\name", in order; every change (a
    // createKey that made a key, a write, a batch) counts once.
    std::vector<std::string> writes;
    int createCalls = 0;
    int commits = 0;
    // Every call that asks the store for what it holds counts once: each is
    // one read and parse of the file for the file store.
    int reads = 0;
    int setAsideCalls = 0;

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

    platform::HiveStatus keyExists(std::string_view path) override {
        ++reads;
        if (storeError != platform::HiveError::None)
            return fail(storeError);
        const std::string p = fold(std::string(path));
        const bool found = p.empty() || std::any_of(keys_.begin(), keys_.end(), [&](const auto& k) {
                               return k.first == p || k.first.rfind(p + "\\", 0) == 0;
                           });
        return found ? ok() : fail(platform::HiveError::NotFound);
    }
    platform::HiveStatus createKey(std::string_view path) override {
        ++createCalls;
        if (storeError != platform::HiveError::None)
            return fail(storeError);
        if (failCreate)
            return fail(platform::HiveError::WriteFailed, 28);  // ENOSPC
        if (!keyExists(path)) {
            keys_[fold(std::string(path))];
            ++commits;
        }
        return ok();
    }
    platform::HiveStatus valueExists(std::string_view key, std::string_view name) override {
        ++reads;
        if (storeError != platform::HiveError::None)
            return fail(storeError);
        return find(std::string(key), std::string(name)) != nullptr ? ok() : fail(platform::HiveError::NotFound);
    }
    platform::HiveStatus readValue(std::string_view key, std::string_view name, platform::HiveValue& out) override {
        ++reads;
        if (storeError != platform::HiveError::None)
            return fail(storeError);
        const platform::HiveValue* v = find(std::string(key), std::string(name));
        if (v == nullptr)
            return fail(platform::HiveError::NotFound);
        if (failReadOf.count(std::string(name)) != 0)
            return fail(platform::HiveError::Unreadable);
        out = *v;
        return ok();
    }
    platform::HiveStatus readKey(std::string_view key, platform::HiveKeySnapshot& out) override {
        if (const platform::HiveStatus exists = keyExists(key); !exists)
            return exists;  // counted there
        std::vector<platform::HiveKeyValue> values;
        if (const auto k = keys_.find(fold(std::string(key))); k != keys_.end()) {
            for (const auto& [name, value] : k->second) {
                const bool unreadable = std::any_of(failReadOf.begin(), failReadOf.end(),
                                                    [&](const std::string& n) { return fold(n) == name; });
                values.push_back({name, unreadable ? platform::HiveValue{} : value, !unreadable});
            }
        }
        out = platform::HiveKeySnapshot(std::move(values));
        return ok();
    }
    platform::HiveStatus writeValue(std::string_view key, std::string_view name,
                                    const platform::HiveValue& v) override {
        return writeValues(key, {{std::string(name), v}}, false);
    }
    platform::HiveStatus writeValues(std::string_view key, const std::vector<platform::NamedHiveValue>& values,
                                     bool create) override {
        if (storeError != platform::HiveError::None)
            return fail(storeError);
        // The change's own look at the store, as the file store's is: not a read.
        const bool existed = keys_.count(fold(std::string(key))) != 0;
        if (!existed && (!create || failCreate))
            return fail(create ? platform::HiveError::WriteFailed : platform::HiveError::NotFound);
        for (const auto& v : values)
            if (failWriteOf.count(v.name) != 0)
                return fail(platform::HiveError::WriteFailed, 5);  // EIO
        keys_[fold(std::string(key))];
        for (const auto& v : values) {
            if (v.onlyWherePresent && find(std::string(key), v.name) == nullptr)
                continue;
            put(std::string(key), v.name, v.value);
            writes.push_back(std::string(key) + "\\" + v.name);
        }
        ++commits;
        return ok();
    }
    platform::HiveStatus setAsideDamaged(std::string& movedTo) override {
        ++setAsideCalls;
        if (storeError != platform::HiveError::Damaged)
            return fail(platform::HiveError::NotFound);
        storeError = platform::HiveError::None;
        keys_.clear();
        movedTo = "user.reg.damaged-1";
        return ok();
    }

private:
    static platform::HiveStatus ok() { return platform::HiveStatus::Ok(); }
    static platform::HiveStatus fail(platform::HiveError e, int error = 0) {
        return platform::HiveStatus::Failed(e, error);
    }
    static std::string fold(std::string s) {
        for (char& c : s)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        return s;
    }
    std::map<std::string, std::map<std::string, platform::HiveValue>> keys_;
};
