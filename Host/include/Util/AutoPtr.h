#pragma once

namespace Util {

// The host's owning pointer with transfer-on-copy: a copy takes ownership and
// leaves the source holding the pointer without owning it. Release calls the
// deleter when one is set, else deletes through the (virtual) destructor.
template <class T>
class AutoPtr {
public:
    using Deleter = void (*)(T*);

    AutoPtr() = default;
    explicit AutoPtr(T* p, Deleter deleter = nullptr) : m_owns(true), m_ptr(p), m_deleter(deleter) {}
    AutoPtr(const AutoPtr& other) : m_owns(other.m_owns), m_ptr(other.m_ptr), m_deleter(other.m_deleter) {
        other.m_owns = false;
    }
    AutoPtr& operator=(const AutoPtr& other) {
        if (this == &other) return *this;
        if (m_ptr != other.m_ptr) Release();
        m_owns = other.m_owns;
        m_ptr = other.m_ptr;
        m_deleter = other.m_deleter;
        other.m_owns = false;
        return *this;
    }
    ~AutoPtr() { Release(); }

    // Takes p, releasing an owned, different pointer held before.
    void Reset(T* p, Deleter deleter = nullptr) {
        if (m_ptr != p) Release();
        m_owns = true;
        m_ptr = p;
        m_deleter = deleter;
    }
    void Release() {
        if (m_owns && m_ptr) {
            if (m_deleter) m_deleter(m_ptr);
            else delete m_ptr;
        }
        m_ptr = nullptr;
    }

    T* Get() const { return m_ptr; }
    T* operator->() const { return m_ptr; }
    T& operator*() const { return *m_ptr; }
    explicit operator bool() const { return m_ptr != nullptr; }
    bool Owns() const { return m_owns; }

private:
    mutable bool m_owns = true;
    T* m_ptr = nullptr;
    Deleter m_deleter = nullptr;
};

} // namespace Util
