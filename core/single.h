// Lazily created process-wide services. Creation happens on the application's
// thread inside ks_init, and deletion inside ks_destroy; neither runs alongside
// other API calls, so no lock is taken here.
#pragma once

namespace kestrel {

template <typename T>
class Single {
  public:
    static T* Instance() {
        if (!instance_)
            instance_ = new T();
        return instance_;
    }
    // The live instance, or null: for shutdown paths that must not create one.
    static T* Peek() { return instance_; }
    static void Destroy() {
        delete instance_;
        instance_ = nullptr;
    }

  private:
    static inline T* instance_ = nullptr;
};

}  // namespace kestrel
