// Shared objects of the system are reference counted through their own first two
// operations: AddRef adds a reference, Release drops one and destroys the object when
// none is left. RefPtr holds such a pointer.
//
// Typical usage:
//   class Connection : public RefCountedObject<SocketHandler> { ... };
//   RefPtr<Connection> connection(new Connection);  // the holder's reference
//
// Counts are atomic: any thread may add or drop a reference.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

namespace qav {

class RefCounted {
  public:
    // Both return the count after the change.
    virtual int32_t AddRef() = 0;
    virtual int32_t Release() = 0;

  protected:
    ~RefCounted() = default;
};

// Implements the count for a class derived from Base (Base derives from RefCounted,
// possibly virtually). The object starts with no reference; the first holder adds one.
template <typename Base>
class RefCountedObject : public Base {
  public:
    using Base::Base;

    int32_t AddRef() override { return m_refCount.fetch_add(1, std::memory_order_relaxed) + 1; }

    int32_t Release() override {
        const int32_t left = m_refCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) {
            delete this;
        }
        return left;
    }

  protected:
    virtual ~RefCountedObject() = default;

  private:
    std::atomic<int32_t> m_refCount{0};
};

// Holds one reference to a T (anything with AddRef and Release), or nothing.
template <typename T>
class RefPtr {
  public:
    RefPtr() = default;
    RefPtr(T* object) { Assign(object); }  // NOLINT: implicit like a plain pointer
    RefPtr(const RefPtr& other) { Assign(other.m_object); }
    RefPtr(RefPtr&& other) noexcept : m_object(std::exchange(other.m_object, nullptr)) {}
    ~RefPtr() { Reset(); }

    RefPtr& operator=(const RefPtr& other) {
        Assign(other.m_object);
        return *this;
    }
    RefPtr& operator=(RefPtr&& other) noexcept {
        if (this != &other) {
            T* old = std::exchange(m_object, std::exchange(other.m_object, nullptr));
            if (old != nullptr) {
                old->Release();
            }
        }
        return *this;
    }
    RefPtr& operator=(T* object) {
        Assign(object);
        return *this;
    }

    // A reference to the new object is added before the old one is released, so
    // assigning an object that only the old one keeps alive is safe. Assigning the held
    // object again does nothing.
    void Assign(T* object) {
        if (object == m_object) {
            return;
        }
        if (object != nullptr) {
            object->AddRef();
        }
        T* old = std::exchange(m_object, object);
        if (old != nullptr) {
            old->Release();
        }
    }

    void Reset() { Assign(nullptr); }

    // Gives up the reference without releasing it.
    T* Detach() { return std::exchange(m_object, nullptr); }

    T* get() const { return m_object; }
    T* operator->() const { return m_object; }
    T& operator*() const { return *m_object; }
    explicit operator bool() const { return m_object != nullptr; }

  private:
    T* m_object = nullptr;
};

}  // namespace qav
