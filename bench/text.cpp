#include "text.h"

#include <cstdint>

namespace
{

const char *const words[] = {
    "the",      "of",        "and",       "to",        "in",      "is",      "that",   "it",
    "was",      "for",       "on",        "are",       "as",      "with",    "his",    "they",
    "at",       "be",        "this",      "from",      "have",    "or",      "by",     "one",
    "had",      "not",       "but",       "what",      "all",     "were",    "when",   "we",
    "there",    "can",       "an",        "your",      "which",   "their",   "said",   "if",
    "will",     "each",      "about",     "how",       "up",      "out",     "them",   "then",
    "she",      "many",      "some",      "so",        "these",   "would",   "other",  "into",
    "has",      "more",      "her",       "two",       "like",    "him",     "see",    "time",
    "could",    "no",        "make",      "than",      "first",   "been",    "its",    "who",
    "now",      "people",    "my",        "made",      "over",    "did",     "down",   "only",
    "way",      "find",      "use",       "may",       "water",   "long",    "little", "very",
    "after",    "words",     "called",    "just",      "where",   "most",    "know",   "get",
    "through",  "back",      "much",      "before",    "go",      "good",    "new",    "write",
    "our",      "used",      "me",        "man",       "too",     "any",     "day",    "same",
    "right",    "look",      "think",     "also",      "around",  "another", "came",   "come",
    "work",     "three",     "word",      "must",      "because", "does",    "part",   "even",
    "place",    "well",      "such",      "here",      "take",    "why",     "things", "help",
    "put",      "years",     "different", "away",      "again",   "off",     "went",   "old",
    "number",   "great",     "tell",      "men",       "say",     "small",   "every",  "found",
    "still",    "between",   "name",      "should",    "home",    "big",     "give",   "air",
    "line",     "set",       "own",       "under",     "read",    "last",    "never",  "us",
    "left",     "end",       "along",     "while",     "might",   "next",    "sound",  "below",
    "saw",      "something", "thought",   "both",      "few",     "those",   "always", "looked",
    "show",     "large",     "often",     "together",  "asked",   "house",   "don't",  "world",
    "going",    "want",      "school",    "important", "until",   "form",    "food",   "keep",
    "children", "feet",      "land",      "side",      "without", "boy",     "once",   "animals",
    "life",     "enough",    "took",      "sometimes", "four",    "head",    "above",  "kind",
    "began",    "almost",    "live",      "page",      "got",     "earth",   "need",   "far",
};
const int word_count = sizeof words / sizeof words[0];

// A small fixed generator, so the text is the same everywhere.
std::uint32_t next(std::uint64_t &state)
{
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<std::uint32_t>(state >> 33);
}

// How long the next line should be: mostly 50 to 80 bytes, some blank or short ones, some that
// wrap once, and a few long ones that wrap several times.
std::size_t line_length(std::uint64_t &state)
{
    const std::uint32_t pick = next(state) % 100;
    if (pick < 5)
        return 0;
    if (pick < 15)
        return 1 + next(state) % 40;
    if (pick < 83)
        return 50 + next(state) % 31;
    if (pick < 98)
        return 81 + next(state) % 20;
    return 100 + next(state) % 150;
}

} // namespace

std::string english_text(std::size_t bytes)
{
    std::string text;
    text.reserve(bytes + 256);
    std::uint64_t state = 42;
    bool sentence_start = true;
    while (text.size() < bytes) {
        const std::size_t want = line_length(state);
        std::size_t used = 0;
        if (want > 0 && next(state) % 25 == 0) {
            text += '\t';
            used++;
        }
        while (used < want) {
            std::string w = words[next(state) % word_count];
            if (sentence_start)
                w[0] = static_cast<char>(w[0] - 'a' + 'A');
            sentence_start = false;
            const std::uint32_t mark = next(state) % 20;
            if (mark == 0) {
                w += '.';
                sentence_start = true;
            } else if (mark == 1) {
                w += ',';
            } else if (mark == 2 && next(state) % 4 == 0) {
                w += next(state) % 2 ? '?' : ';';
                sentence_start = w.back() == '?';
            }
            if (used + w.size() > want && used > 0)
                break;
            if (used > 0 && text.back() != '\t') {
                text += ' ';
                used++;
            }
            text += w;
            used += w.size();
        }
        text += '\n';
    }
    text.resize(bytes);
    return text;
}

std::string first_lines(const std::string &text, int columns, long lines)
{
    // Eager wrapping: stop at the byte that would move on to line number `lines`.
    long line = 0;
    int col = 0;
    for (std::size_t i = 0; i < text.size(); i++) {
        if (text[i] == '\n') {
            if (line + 1 == lines)
                return text.substr(0, i);
            line++;
            col = 0;
        } else if (++col == columns) {
            if (line + 1 == lines)
                return text.substr(0, i + 1);
            line++;
            col = 0;
        }
    }
    return text;
}
