// Spell checker: the word tables (the shared word list of the template
// directory and the user's own words), the word finder, similarity scores,
// and the saved state of a check in progress (spell.dat and spell.msg).
#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// ---- word tables (spelldict.cpp)

// Loads the word list and, when personal is not null, the user's own words
// (a missing personal file is no error).  0 with "Could not read %s %s\n"
// in err when the word list cannot be opened.
int spell_init(const std::string& dict, const std::string* personal, std::string& err);
// spell_init with words.dat of the template directory and words.usr.
int spell_load();
void spell_add(std::string_view text);    // every word, split at space, CR, LF
void spell_add_one(std::string_view word);
int spell_hash(std::string_view word);    // bucket 0..675 of the first two bytes
int spell_find(std::string_view word);    // 1 when the lower-cased word is known
// Up to 20 known words of the word's bucket, best first.
int spell_similar(std::string_view word, std::vector<std::string>& out);
int spell_score(std::string_view word, std::string_view candidate);
// The next word from pos: true with its start offset and text, pos moved
// past it; false at the end of the text.
bool spell_next_word(std::string_view text, std::size_t& pos, std::size_t& start, std::string& word);
// ASCII lower case of the first 100 bytes.
std::string spell_lower(std::string_view word);
// The user's own words as stored (words.usr), split at blanks, commas,
// semicolons and line ends.
std::vector<std::string> spell_split_words(std::string_view text);
void spell_dict_reset();

// ---- a check in progress (spell.cpp)

constexpr int kSpellMaxWords = 1000;

struct SpellWord {
    std::size_t offset = 0;
    std::string word;
};

struct SpellState {
    std::string to, cc, bcc, reply, subject, pgpto;
    std::string attach[4];
    std::string msg;                 // the body being checked
    std::vector<SpellWord> words;    // unknown words in body order
};
SpellState& spell_state();

// spell.dat text for the state, and the state from the two files' texts.
std::string spell_dat_text(const SpellState& s);
// false with the reason in err when the text is not a spell.dat at all;
// word lines that do not match the body are dropped (and logged).
bool spell_dat_parse(std::string_view dat, std::string_view msg, SpellState& s, std::string& err);

int read_spell();
int spell_change(int wordi, const std::string* value);
// Replaces old by neu at offset in text; 0 with the reason in err.
int str_replace(std::string& text, std::size_t offset, std::string_view old, std::string_view neu, std::string& err);
// Line wrap of the page text at the send wrap width (markup and entities
// are never broken and take no width).
std::string wrap(std::string_view text, int width);
// The personal word editor's text: four words to a line, at most 7000
// characters; shown is the number of words it holds.
std::string spell_edit_text(const std::vector<std::string>& words, std::size_t& shown);
void spell_reset();

// Commands (the names the dispatcher routes to).
int r_spell_check();
int f_spell_fix();
int r_spell_set();
int r_spell_alt();
int r_spell_add();
int r_spell_edit();
int r_spell_save();
int r_spell_done();
// The "-spell" option: words from standard input, "Right" or "Wrong" each.
int do_spell();
