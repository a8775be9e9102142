// Small owning handles so that every early return releases what a call made.
#pragma once

#include <utility>

#include "common/alloc.h"
#include "ztview.h"

// A view owned by a call, released with the owning module's accounting.
class ViewHandle {
  public:
    ViewHandle(ztview *v, const char *module) noexcept : v_(v), module_(module) {}
    ViewHandle(const ViewHandle &) = delete;
    ViewHandle &operator=(const ViewHandle &) = delete;
    ~ViewHandle() { _ztview_destroy(v_, module_, __LINE__); }
    ztview *get() const noexcept { return v_; }
    ztview *release() noexcept { return std::exchange(v_, nullptr); }
    void reset(ztview *v) noexcept
    {
        _ztview_destroy(v_, module_, __LINE__);
        v_ = v;
    }
    explicit operator bool() const noexcept { return v_ != nullptr; }

  private:
    ztview *v_;
    const char *module_;
};

// A buffer from zt_malloc / zt_calloc, freed on scope exit.
template <class T = unsigned char> class Buffer {
  public:
    explicit Buffer(T *p = nullptr) noexcept : p_(p) {}
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    ~Buffer() { zt_free(p_); }
    T *get() const noexcept { return p_; }
    T *release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

  private:
    T *p_;
};

// An iterator owned by a call.
class IteratorHandle {
  public:
    explicit IteratorHandle(ztiterator *it) noexcept : it_(it) {}
    IteratorHandle(const IteratorHandle &) = delete;
    IteratorHandle &operator=(const IteratorHandle &) = delete;
    ~IteratorHandle() { ztiterator_destroy(it_); }
    ztiterator *get() const noexcept { return it_; }
    explicit operator bool() const noexcept { return it_ != nullptr; }

  private:
    ztiterator *it_;
};
