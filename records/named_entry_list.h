// NamedEntryList: an ordered list of entries that carry a name (`m_name`), which finds the
// first entry of a name in constant time, however long the list. The order is the
// list's own, by position; names may repeat. Inserting or erasing costs time in
// proportion to the list, as moving the entries after it does anyway.
//
// Typical usage:
//   NamedEntryList<TemperatureReading> readings = {{u"Cab", 20}, {u"Engine", 80}};
//   int32_t at = readings.Find(u"Engine");  // 1
//   readings.At(at).m_value = 81;           // a value, never the name
//   readings.Insert(0, u"Air");
//
// An entry's name changes only through the list (Insert, or a list assigned whole);
// At gives the entries for their other fields. Used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/wide_text.h"
#include "core/xml_element.h"
#include "records/record_fields.h"

namespace qav {

template <typename Entry>
class NamedEntryList {
  public:
    using value_type = Entry;
    using const_iterator = typename std::vector<Entry>::const_iterator;
    using iterator = const_iterator;

    NamedEntryList() = default;
    NamedEntryList(std::initializer_list<Entry> entries)
        : NamedEntryList(std::vector<Entry>(entries)) {}
    NamedEntryList(std::vector<Entry> entries) : m_entries(std::move(entries)) { Reindex(); }

    const std::vector<Entry>& Entries() const { return m_entries; }
    size_t size() const { return m_entries.size(); }
    bool empty() const { return m_entries.empty(); }
    const_iterator begin() const { return m_entries.begin(); }
    const_iterator end() const { return m_entries.end(); }
    const Entry& operator[](size_t position) const { return m_entries[position]; }

    friend bool operator==(const NamedEntryList& a, const NamedEntryList& b) {
        return a.m_entries == b.m_entries;
    }
    friend bool operator==(const NamedEntryList& a, const std::vector<Entry>& b) {
        return a.m_entries == b;
    }

    // Position of the first entry named exactly `name`; -1 when none.
    int32_t Find(WStringView name) const {
        const auto found = m_firstByName.find(name);
        return found == m_firstByName.end() ? -1 : found->second;
    }

    // The entry at `position` (0 <= position < size), for its fields other than the name.
    Entry& At(size_t position) { return m_entries[position]; }

    // A fresh entry named `name` at `position` (at most size), the later ones moving up.
    Entry& Insert(size_t position, const WString& name) {
        const int32_t at = static_cast<int32_t>(position);
        for (auto& [key, first] : m_firstByName) {
            first += first >= at ? 1 : 0;
        }
        Entry& entry = *m_entries.emplace(m_entries.begin() + at);
        entry.m_name = name;
        auto [found, added] = m_firstByName.try_emplace(name, at);
        if (!added && found->second > at) {
            found->second = at;
        }
        return entry;
    }

    // Removes the entry at `position` (0 <= position < size), the later ones moving down.
    void Erase(size_t position) {
        const int32_t at = static_cast<int32_t>(position);
        const WString name = std::move(m_entries[position].m_name);
        m_entries.erase(m_entries.begin() + at);
        for (auto& [key, first] : m_firstByName) {
            first -= first > at ? 1 : 0;
        }
        const auto found = m_firstByName.find(WStringView(name));
        if (found != m_firstByName.end() && found->second == at) {
            // The first of the name is gone: the next of that name, if any, takes its place.
            m_firstByName.erase(found);
            for (size_t i = position; i < m_entries.size(); ++i) {
                if (m_entries[i].m_name == name) {
                    m_firstByName.emplace(name, static_cast<int32_t>(i));
                    break;
                }
            }
        }
    }

    // The list as the wrapper's `itemName` children (see SyncList). Reading replaces the list
    // with at most `maximum` entries, the first ones, and returns how many items the wrapper
    // held; writing returns the list's size.
    size_t Sync(XmlElement wrapper, WStringView itemName, uint32_t direction,
                void (*body)(XmlElement, uint32_t, Entry&), size_t maximum) {
        if (direction != kSyncRead) {
            // Writing reads the entries only: the names stay as they are.
            SyncList(wrapper, itemName, kQavNamespaceUri, direction, m_entries, body);
            return m_entries.size();
        }
        std::vector<Entry> read;
        SyncList(wrapper, itemName, kQavNamespaceUri, direction, read, body);
        const size_t held = read.size();
        if (read.size() > maximum) {
            read.erase(read.begin() + static_cast<std::ptrdiff_t>(maximum), read.end());
        }
        *this = NamedEntryList(std::move(read));
        return held;
    }

  private:
    struct NameHash {
        using is_transparent = void;
        size_t operator()(WStringView name) const { return std::hash<WStringView>{}(name); }
    };

    void Reindex() {
        m_firstByName.clear();
        for (size_t i = 0; i < m_entries.size(); ++i) {
            m_firstByName.try_emplace(m_entries[i].m_name, static_cast<int32_t>(i));
        }
    }

    std::vector<Entry> m_entries;
    // The position of the first entry of each name.
    std::unordered_map<WString, int32_t, NameHash, std::equal_to<>> m_firstByName;
};

}  // namespace qav
