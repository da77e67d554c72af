// A small registry of handlers by key: one entry per key, the last registration
// wins. Lookups hand out copies so no lock is held while a handler runs.
#pragma once

#include <map>
#include <vector>

#include "core/mutex.h"

namespace kestrel {

enum SubjectType {
    SUBJECT_KESTREL = 1,  // an SDK topic
    SUBJECT_SERVICE = 2,  // a thing-model service
};

template <typename Key, typename Handler>
class Observer {
  public:
    struct SubjectAll {
        void* user = nullptr;
        Handler handler = nullptr;
        int number = 0;
        int subject = 0;
    };

    // Registrations happen during start-up, before anything is delivered, but a
    // real lock costs nothing here and keeps a late registration safe.
    Observer() : mutex_(true) {}

    int attach(const Key& key, void* user, Handler handler, int subject) {
        MutexGuard guard(mutex_);
        SubjectAll& entry = entries_[key];
        entry.user = user;
        entry.handler = handler;
        entry.number = ++counter_;
        entry.subject = subject;
        return entry.number;
    }

    // Entries registered under exactly `key` for `subject` with a handler set.
    std::vector<SubjectAll> find(const Key& key, int subject) {
        std::vector<SubjectAll> out;
        MutexGuard guard(mutex_);
        auto it = entries_.find(key);
        if (it != entries_.end() && it->second.subject == subject && it->second.handler) {
            out.push_back(it->second);
        }
        return out;
    }

  private:
    Mutex mutex_;
    int counter_ = 0;
    std::map<Key, SubjectAll> entries_;
};

}  // namespace kestrel
