#pragma once

#include <QPair>
#include <QVector>

// A small map that visits its keys in the order they were first inserted, so that everything
// derived from it (merged resolver lists, concatenated tables) is reproducible. Meant for a
// handful of keys: lookups are linear.
template <typename Key, typename Value>
class InsertionOrderedMap
{
public:
    using Entry = QPair<Key, Value>;

    bool contains(const Key &key) const { return indexOf(key) >= 0; }
    int size() const { return m_entries.size(); }
    bool isEmpty() const { return m_entries.isEmpty(); }
    const QVector<Entry> &entries() const { return m_entries; }

    Value value(const Key &key) const
    {
        const int index = indexOf(key);
        return index >= 0 ? m_entries.at(index).second : Value();
    }

    // Replacing keeps the key's place; a new key goes to the end.
    void insert(const Key &key, const Value &value)
    {
        const int index = indexOf(key);
        if (index >= 0)
            m_entries[index].second = value;
        else
            m_entries.append(Entry(key, value));
    }

    Value &operator[](const Key &key)
    {
        int index = indexOf(key);
        if (index < 0) {
            m_entries.append(Entry(key, Value()));
            index = m_entries.size() - 1;
        }
        return m_entries[index].second;
    }

    bool remove(const Key &key)
    {
        const int index = indexOf(key);
        if (index < 0)
            return false;
        m_entries.remove(index);
        return true;
    }

    bool operator==(const InsertionOrderedMap &other) const { return m_entries == other.m_entries; }
    bool operator!=(const InsertionOrderedMap &other) const { return !(*this == other); }

private:
    int indexOf(const Key &key) const
    {
        for (int i = 0; i < m_entries.size(); ++i) {
            if (m_entries.at(i).first == key)
                return i;
        }
        return -1;
    }

    QVector<Entry> m_entries;
};
