// MIME structure of a stored message: the boundary list, the part reader
// and numbering, named parts and the lookup of a part by Content-ID.  A message is given as the bytes of the whole stored
// file (header lines, an empty line, the body; LF or CR LF line ends).
//
// Part numbers are those of the download links: the message's own body is
// part 0 (asked for as 99), then every part of every multipart, nested ones
// and those inside attached messages included, numbered 1, 2, ... in the
// order their opening boundary lines appear.  uuencoded files inside text
// are numbered from 100 (see body.h).
#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "support/str.h"   // for_each_line

// ---- the boundary list ----------------------------------------------------
// Boundaries met in header lines, each stored with "--" in front, shared by
// every scan of the run (the forward path reads the first one back).
void boundary_add(std::string_view line);
int boundary_check(std::string_view line);   // 1 when the line is a boundary
bool boundary_endbound();                    // the last check met a closing one
void boundary_clear();
std::string get_boundary(int index);         // "" outside the list
int boundary_count();
constexpr int kMaxBoundaries = 200;

// ---- one entity's header -------------------------------------------------
struct MimeHeader {
    std::string type = "text/plain";   // lower case "type/subtype"
    std::string charset;               // lower case, "" when none given
    std::string boundary;              // without "--"
    std::string encoding;              // lower case transfer encoding, "" = 7bit
    std::string disposition;           // lower case "inline" / "attachment" / ""
    std::string name;                  // file name, encoded words decoded, UTF-8
    std::string content_id;            // without angle brackets
    std::string description;
    std::string start;                 // multipart/related start parameter
    bool has_type = false;
};

// Unfolded value of the first header field called name (any case) in a
// header block, at most max bytes; "" when absent.
std::string mime_header_value(std::string_view head, std::string_view name, std::size_t max = 16384);
// One parameter of a structured value ("boundary", "charset", "name" ...),
// with quoting, backslash escapes and RFC 2231 continuations and charsets.
std::string mime_param(std::string_view value, std::string_view param);
MimeHeader mime_parse_header(std::string_view head, bool digest_child);

// ---- the structure ---------------------------------------------------------
struct MimePart {
    int number = 0;         // 0 for the message itself; -1 for the entity inside message/rfc822
    int parent = -1;        // index in MimeTree::parts
    int depth = 0;
    std::string_view head;  // header block (without the empty line)
    std::string_view body;  // raw body, still transfer-encoded
    MimeHeader h;
    std::vector<int> children;   // indexes, in order
    bool truncated = false;      // the multipart never met its closing boundary
};

struct MimeTree {
    std::vector<MimePart> parts;   // parts[0] is the message
    bool limited = false;          // a depth or count limit was reached
    int by_number(int number) const;   // index of the part with that number, or -1
};

constexpr int kMaxMimeDepth = 40;      // deeper multiparts are treated as opaque data
constexpr int kMaxMimeParts = 5000;    // further boundaries are body text

// Splits a whole stored message.  Never fails: malformed structure gives
// the parts that can be recognised, the rest stays body text.
void mime_parse(std::string_view msg, MimeTree& tree);

// ---- the part reader over the current message ----------------------------
// The message the scanning functions below work on (the caller keeps the
// bytes alive).  Setting it restarts the scan.
void part_source(std::string_view msg);
void part_rewind();                          // part_at = 0
bool part_line(std::string_view& line);      // next line; false at the end
// Next listed part after p (named parts and attached messages): its number,
// with its display name in name; -1 when there is none.
int part_next(std::string& name, int p);
// Part number of the part with that Content-ID (angle brackets allowed),
// or -1.
int part_find(std::string_view id);
// The parsed structure of the current message.
const MimeTree& part_tree();


// ---- names -----------------------------------------------------------------
// "<id>" -> "id" (blanks around it dropped).
std::string id_unbracket(std::string_view text);
// File name safe for a URL path element: letters, digits, "_", "-", ".";
// at most 511 characters; "" becomes "attach"; never "." or "..".
std::string nice_fname(std::string_view name);
// Display name of a part: its file name, "message N" for attached messages.
std::string part_display_name(const MimeTree& tree, int index);

void mime_reset();
