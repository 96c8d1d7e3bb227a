// One part of a stored message for download: its decoded bytes, written
// through a callback piece by piece (a large attachment is never held
// whole), and the response header that makes the browser save it rather
// than run it in our pages.
#pragma once
#include <functional>
#include <string>
#include <string_view>

struct PartInfo {
    int number = 0;
    std::string type;          // the part's own media type, lower case
    std::string served_type;   // what the response says
    std::string name;          // file name for the user (UTF-8, no path)
    bool inline_ok = false;    // an image the browser may show in place
    long length = 0;           // decoded bytes
};

using PartSink = std::function<void(std::string_view)>;

// Finds part n of msg (99 = the message's own body; 100 and up =
// uuencoded files) and fills info, counting its decoded length.  False
// when there is no such part.
bool part_info(std::string_view msg, int n, PartInfo& info);
// Writes the decoded bytes of part n in pieces; answers the byte count,
// or -1 when there is no such part.
long part_write(std::string_view msg, int n, const PartSink& sink);

// The served type for a part's type: only types a browser will not run as
// a page keep their own name; everything else is application/octet-stream.
std::string part_safe_type(std::string_view type, std::string_view charset);
// "attachment; filename=\"ascii\"; filename*=UTF-8''..." (inline for
// images shown in place).  The name never carries a path or a quote.
std::string part_disposition(std::string_view name, bool inline_ok);
// The CGI response header lines (ending with the empty line).
std::string part_headers(const PartInfo& info);

// The response for part n: header lines, the empty line, the bytes, all
// through sink from one reading of the message.  0 when there is no such
// part (nothing written).
int part_send(std::string_view msg, int n, const PartSink& sink);
// Answers the request for part n: header and bytes through gwrite.
// Answers 1, or 0 when there is no such part (nothing written).
int show_article_part(std::string_view msg, int n);

// A stored file mapped read-only for the duration of a request, so that a
// download touches only the pages it sends.
class MappedFile {
public:
    explicit MappedFile(const std::string& path);
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    bool ok() const { return ok_; }
    std::string_view view() const { return {static_cast<const char*>(data_), size_}; }
private:
    void* data_ = nullptr;
    std::size_t size_ = 0;
    bool ok_ = false;
};
