#pragma once

// Owners of what GLib and libatspi hand out, so that every path frees it.
// Include it (like any GLib header) before Qt's, whose keywords clash with
// GLib's struct fields.
#include <glib-object.h>

#include <utility>

// A string to g_free().
class GFreeText
{
public:
    explicit GFreeText(gchar* text) : text(text) {}   // adopts the string
    ~GFreeText() { g_free(text); }
    GFreeText(const GFreeText&) = delete;
    GFreeText& operator=(const GFreeText&) = delete;

    gchar* const text;
};

// An error slot to pass as GError**; cleared at the end of the scope.
class GErrorSlot
{
public:
    GErrorSlot() = default;
    ~GErrorSlot() { g_clear_error(&m_error); }
    GErrorSlot(const GErrorSlot&) = delete;
    GErrorSlot& operator=(const GErrorSlot&) = delete;

    GError** out() { return &m_error; }
    explicit operator bool() const { return m_error != nullptr; }

private:
    GError* m_error = nullptr;
};

// One reference to a GObject, dropped at the end of the scope. It can move
// (out of a job of the accessibility thread), and be released to an owner
// that gives it back on the right thread.
template <typename T>
class GObjectRef
{
public:
    explicit GObjectRef(T* object = nullptr) : m_object(object) {}   // adopts the reference
    ~GObjectRef() { if (m_object) g_object_unref(m_object); }
    GObjectRef(GObjectRef&& other) noexcept : m_object(std::exchange(other.m_object, nullptr)) {}
    GObjectRef(const GObjectRef&) = delete;
    GObjectRef& operator=(const GObjectRef&) = delete;
    GObjectRef& operator=(GObjectRef&& other) noexcept
    {
        if (this != &other) {
            if (m_object)
                g_object_unref(m_object);
            m_object = std::exchange(other.m_object, nullptr);
        }
        return *this;
    }

    T* get() const { return m_object; }
    // Hands the reference over to the caller.
    T* release() { return std::exchange(m_object, nullptr); }

private:
    T* m_object;
};
