// The searchable text of a folder's messages kept beside its index, so that
// a second search need not decode every message again.  The file
// "search.dat" in the folder directory holds, for each message with a body,
// the folded text (search_fold of search_message_text) and the identity of
// the message file it came from (inode, size, modification time).
//
// Trust: the index says which messages exist and the message file says
// whether an entry is current.  An entry is used only when the message
// file's stat, taken now, equals the one recorded; anything else (no file,
// another version, a damaged or short cache, an entry for a message the
// index no longer has) is decoded again from the message file, and the
// cache is then written anew.  Deleting the file at any time loses nothing.
//
// Sharing: the cache is read with pread, never mapped, so a file replaced
// by another host over NFS gives a read error (decoded again), not a
// fault.  A new cache is written to a temporary name carrying the host name
// and the process id and renamed over the old one, which NFS does
// atomically within a directory: readers see the whole old or the whole new
// file, and two writers at once leave one complete cache.
#pragma once
#include <sys/types.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

class SearchTextCache {
public:
    explicit SearchTextCache(int fld);
    ~SearchTextCache();
    SearchTextCache(const SearchTextCache&) = delete;
    SearchTextCache& operator=(const SearchTextCache&) = delete;

    // The messages (by number) the index says have a body in the folder;
    // stats their files and decides whether the cache must be written
    // anew.  Call once before text().
    void plan(const std::vector<int>& ids);
    // True when the cache is being written anew: every planned message
    // must then be asked for, so that the new cache is complete.
    bool rewriting() const;
    // The folded text of message id, from the cache when current, else
    // decoded now; *ok is false when the message file cannot be read.
    // Valid until the next call.
    std::string_view text(int id, bool* ok);
    // Renames the new cache into place when it is complete.
    void finish();

    // What this run did, for the log and the tests.
    int reused() const;
    int decoded() const;

private:
    struct Impl;
    std::unique_ptr<Impl> p_;
};

