#pragma once

#include "Failure.h"

#include <QHash>
#include <QString>

#include <list>
#include <map>
#include <memory>

// An ordered collection of records that can also be reached by a text key.
// Keys are unique and compared without regard to letter case. Lookup, removal
// and insertion before a member take constant time; insertion at the place of
// a key in a collection kept in key order takes logarithmic time. Members are
// shared pointers, so a record taken out stays valid for whoever holds it.
template <typename T> class KeyedCollection
{
public:
    using Ptr = std::shared_ptr<T>;

    struct Entry
    {
        QString key;
        Ptr item;
    };
    using List = std::list<Entry>;

    class const_iterator
    {
    public:
        explicit const_iterator(typename List::const_iterator it) : m_it(it) { }
        const Ptr &operator*() const { return m_it->item; }
        const Ptr *operator->() const { return &m_it->item; }
        const QString &key() const { return m_it->key; }
        const_iterator &operator++()
        {
            ++m_it;
            return *this;
        }
        bool operator==(const const_iterator &o) const { return m_it == o.m_it; }
        bool operator!=(const const_iterator &o) const { return m_it != o.m_it; }

    private:
        typename List::const_iterator m_it;
    };

    const_iterator begin() const { return const_iterator(m_list.cbegin()); }
    const_iterator end() const { return const_iterator(m_list.cend()); }

    int count() const { return int(m_list.size()); }
    bool isEmpty() const { return m_list.empty(); }

    bool contains(const QString &key) const { return m_index.contains(fold(key)); }

    // The member under key, or null when there is none.
    Ptr value(const QString &key) const
    {
        const auto it = m_index.constFind(fold(key));
        return it == m_index.constEnd() ? Ptr() : it.value()->item;
    }

    // The member under key; failure 5 when there is none.
    Ptr item(const QString &key) const
    {
        Ptr p = value(key);
        if (!p)
            throw Failure(Failure::InvalidCall);
        return p;
    }

    const Ptr &first() const
    {
        if (m_list.empty())
            throw Failure(Failure::SubscriptOutOfRange);
        return m_list.front().item;
    }

    // Appends; failure 457 when the key is taken.
    void add(const QString &key, Ptr member) { insertAt(m_list.end(), key, std::move(member)); }

    // Inserts before the member under beforeKey; failure 5 when it is absent.
    void insertBefore(const QString &beforeKey, const QString &key, Ptr member)
    {
        const auto it = m_index.constFind(fold(beforeKey));
        if (it == m_index.constEnd())
            throw Failure(Failure::InvalidCall);
        insertAt(it.value(), key, std::move(member));
    }

    // For a collection kept in ascending key order: inserts before the first
    // member whose key compares greater (letter case ignored), or appends.
    void insertInKeyOrder(const QString &key, Ptr member)
    {
        if (!m_keyOrdered) {
            // The key index is made on first use: a collection that is never
            // kept in key order (a line's trips) does without it.
            m_keyOrdered = true;
            for (auto it = m_list.begin(); it != m_list.end(); ++it)
                m_sorted.emplace(fold(it->key), it);
        }
        const auto next = m_sorted.upper_bound(fold(key));
        insertAt(next == m_sorted.end() ? m_list.end() : next->second, key, std::move(member));
    }

    // Removes the member under key; failure 5 when it is absent.
    void remove(const QString &key)
    {
        const QString folded = fold(key);
        const auto it = m_index.find(folded);
        if (it == m_index.end())
            throw Failure(Failure::InvalidCall);
        m_list.erase(it.value());
        m_index.erase(it);
        if (m_keyOrdered)
            m_sorted.erase(folded);
    }

    void clear()
    {
        m_list.clear();
        m_index.clear();
        m_sorted.clear();
    }

private:
    static QString fold(const QString &key) { return key.toCaseFolded(); }

    void insertAt(typename List::iterator before, const QString &key, Ptr member)
    {
        const QString folded = fold(key);
        if (m_index.contains(folded))
            throw Failure(Failure::KeyAlreadyUsed);
        const auto it = m_list.insert(before, Entry{key, std::move(member)});
        m_index.insert(folded, it);
        if (m_keyOrdered)
            m_sorted.emplace(folded, it);
    }

    List m_list;
    QHash<QString, typename List::iterator> m_index;
    std::map<QString, typename List::iterator> m_sorted; // once m_keyOrdered
    bool m_keyOrdered = false;
};
