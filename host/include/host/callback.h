// A move-only `void()` callable that keeps small closures inline.
//
// The scheduler, the bus and the device model pass deferred work around as Callbacks. A closure
// of up to kInline bytes (a few pointers and ids, or a std::function) lives inside the Callback,
// so scheduling an event allocates nothing; a larger one is moved to the heap.
#pragma once

#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

namespace host {

class Callback {
  public:
    static constexpr std::size_t kInline = 56;

    Callback() = default;
    template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, Callback> &&
                                                std::is_invocable_r_v<void, std::decay_t<F>&>>>
    Callback(F&& f) { // NOLINT(google-explicit-constructor): used like std::function
        using Fn = std::decay_t<F>;
        if constexpr (sizeof(Fn) <= kInline && alignof(Fn) <= alignof(std::max_align_t) &&
                      std::is_nothrow_move_constructible_v<Fn>) {
            new (storage_) Fn(std::forward<F>(f));
            ops_ = &kInlineOps<Fn>;
        } else {
            *reinterpret_cast<Fn**>(storage_) = new Fn(std::forward<F>(f));
            ops_ = &kHeapOps<Fn>;
        }
    }
    Callback(Callback&& other) noexcept { take(other); }
    Callback& operator=(Callback&& other) noexcept {
        if (this != &other) {
            reset();
            take(other);
        }
        return *this;
    }
    Callback(const Callback&) = delete;
    Callback& operator=(const Callback&) = delete;
    ~Callback() { reset(); }

    // Moves `other` into this Callback, which holds nothing (a free slot's).
    void fill(Callback&& other) noexcept { take(other); }

    explicit operator bool() const { return ops_ != nullptr; }
    void operator()() { ops_->call(storage_); }
    void reset() {
        if (ops_ != nullptr) {
            ops_->destroy(storage_);
            ops_ = nullptr;
        }
    }

  private:
    struct Ops {
        void (*call)(void*);
        void (*move)(void* to, void* from); // move-constructs at `to`, destroys `from`
        void (*destroy)(void*);
    };
    template <class Fn>
    static constexpr Ops kInlineOps = {[](void* p) { (*static_cast<Fn*>(p))(); },
                                       [](void* to, void* from) {
                                           new (to) Fn(std::move(*static_cast<Fn*>(from)));
                                           static_cast<Fn*>(from)->~Fn();
                                       },
                                       [](void* p) { static_cast<Fn*>(p)->~Fn(); }};
    template <class Fn>
    static constexpr Ops kHeapOps = {
        [](void* p) { (**static_cast<Fn**>(p))(); },
        [](void* to, void* from) { *static_cast<Fn**>(to) = *static_cast<Fn**>(from); },
        [](void* p) { delete *static_cast<Fn**>(p); }};

    void take(Callback& other) {
        if (other.ops_ != nullptr) {
            other.ops_->move(storage_, other.storage_);
            ops_ = other.ops_;
            other.ops_ = nullptr;
        }
    }

    alignas(std::max_align_t) unsigned char storage_[kInline];
    const Ops* ops_ = nullptr;
};

} // namespace host

namespace host {

// A non-owning reference to a `void()` callable, for routines that call it before they return
// (a driver routine run at a given IRQL): binding a lambda costs nothing and allocates nothing.
class FunctionRef {
  public:
    template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, FunctionRef> &&
                                                std::is_invocable_r_v<void, F&>>>
    FunctionRef(F&& f) // NOLINT(google-explicit-constructor)
        : object_(const_cast<void*>(static_cast<const void*>(&f))),
          call_([](void* o) { (*static_cast<std::remove_reference_t<F>*>(o))(); }) {}
    // A plain function and the context it is called with.
    FunctionRef(void (*function)(void*), void* context) : object_(context), call_(function) {}
    void operator()() const { call_(object_); }

  private:
    void* object_;
    void (*call_)(void*);
};

} // namespace host
