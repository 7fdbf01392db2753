#pragma once
// The workbook's shared string table (SST): each distinct text once, numbered in the order of
// first use, written as an SST record with CONTINUE records and an EXTSST record.
//
// The table must precede the sheets in the file but is complete only at the end, and a text file
// can hold millions of distinct texts (an ID number on every line), so memory must not grow with
// them. The records are made as each new text arrives and go to a temporary file. Texts are looked
// up in memory while they fit a budget; past it, those used least lately move to a run on disk,
// sorted by hash, found again through a Bloom filter and a sparse index per run (about a byte and
// a half of memory per text moved). A text is reused only after comparing it in full, so the
// table, and the file, are exactly what a table kept wholly in memory would give.

#include "xls/spillfile.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

namespace engine::biff8 {

class SharedStringTable
{
public:
    using Hash = std::uint64_t (*)(std::string_view);
    // Bytes of texts and their lookup entries held in memory.
    static constexpr std::size_t kDefaultMemoryBudget = std::size_t(24) << 20;

    // `hash` replaces the hash of texts (tests use a poor one so that texts collide).
    explicit SharedStringTable(std::size_t memoryBudget = kDefaultMemoryBudget, Hash hash = nullptr);
    ~SharedStringTable();
    SharedStringTable(const SharedStringTable&) = delete;
    SharedStringTable& operator=(const SharedStringTable&) = delete;

    // The index of `text`, adding it on first use; counts one reference. False when a temporary
    // file fails (errorString() says how).
    bool intern(std::string_view text, std::uint32_t& index);
    // intern() for each of `count` texts in turn, faster than one by one (the lookups' memory
    // accesses overlap); `indexes` receives their indexes.
    bool internAll(const std::string_view* texts, std::size_t count, std::uint32_t* indexes);

    std::uint32_t uniqueCount() const;
    std::uint32_t referenceCount() const;
    // How many runs the lookup has moved texts to so far, and the memory it holds now (by the
    // measure the budget is kept with).
    std::size_t runCount() const;
    std::size_t memoryInUse() const;

    // The number of bytes write() hands over.
    std::uint64_t size() const;
    // Hands the SST, CONTINUE and EXTSST records to `sink` in order. `streamOffset` is the position
    // of the first byte in the Workbook stream (EXTSST holds absolute positions). Ends the table.
    bool write(std::uint32_t streamOffset, const std::function<bool(const std::uint8_t*, std::size_t)>& sink);

    QString errorString() const;
    // The system error of a temporary file that failed (SpillFile::systemError); 0 if none did.
    int systemError() const;

private:
    bool intern(std::string_view text, std::uint64_t hash, std::uint32_t& index);

    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace engine::biff8
