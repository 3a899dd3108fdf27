#pragma once

#include <QHashFunctions>
#include <QString>
#include <unordered_map>

struct sqlite3;
struct sqlite3_stmt;

// The connection's statements, each prepared once: the store runs the same
// few texts again and again, and compiling them cost more than running the
// short ones. A statement in use is not handed out twice (a nested use of
// the same text gets one of its own), and the cache holds a bounded number.
class StatementCache
{
public:
    explicit StatementCache(sqlite3* db);
    ~StatementCache();
    StatementCache(const StatementCache&) = delete;
    StatementCache& operator=(const StatementCache&) = delete;

    // A prepared statement, unbound and at its start, for as long as the
    // use lasts; then reset, so that it holds no lock.
    class Use
    {
    public:
        Use(Use&& other) noexcept;
        Use& operator=(Use&&) = delete;
        ~Use();
        sqlite3_stmt* get() const { return m_statement; }

    private:
        friend class StatementCache;
        Use(sqlite3_stmt* statement, bool* inUse) : m_statement(statement), m_inUse(inUse) {}

        sqlite3_stmt* m_statement;
        bool* m_inUse;   // the cache's flag; null for a statement of its own
    };

    // Null statement when the text does not compile (the connection's error
    // says why).
    Use use(const QString& sql);

private:
    struct Entry
    {
        sqlite3_stmt* statement = nullptr;
        bool inUse = false;
    };
    static constexpr std::size_t kCapacity = 64;

    sqlite3_stmt* prepare(const QString& sql, bool kept) const;
    void makeRoom();

    sqlite3* const m_db;
    struct TextHash
    {
        std::size_t operator()(const QString& text) const { return qHash(text); }
    };

    std::unordered_map<QString, Entry, TextHash> m_entries;   // nodes stay put: uses point into them
};
