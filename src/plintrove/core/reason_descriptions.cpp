#include "plintrove/core/reason_descriptions.h"

#include <algorithm>
#include <string>
#include <vector>

#include "plintrove/core/errors.h"
#include "plintrove/value/py_repr.h"

namespace plintrove {

namespace {

bool is_lower(char c) { return c >= 'a' && c <= 'z'; }
bool is_upper(char c) { return c >= 'A' && c <= 'Z'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_alnum(char c) { return is_lower(c) || is_upper(c) || is_digit(c); }
// Bytes of non-ASCII UTF-8 characters count as letters, so accented words stay whole.
bool is_word_byte(char c) { return is_alnum(c) || static_cast<unsigned char>(c) >= 0x80; }
bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

char to_lower(char c) { return is_upper(c) ? static_cast<char>(c - 'A' + 'a') : c; }

// Words of `text`, split at every other ASCII character and at camelCase boundaries
// ("maxDrawdown" -> max, Drawdown; "HTTPError" -> HTTP, Error).
std::vector<std::string> words_of(std::string_view text) {
    std::vector<std::string> words;
    std::string cur;
    auto flush = [&] {
        if (!cur.empty()) words.push_back(std::move(cur));
        cur.clear();
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (!is_word_byte(c)) {
            flush();
            continue;
        }
        if (!cur.empty() && is_upper(c)) {
            char prev = cur.back();
            bool next_lower = i + 1 < text.size() && is_lower(text[i + 1]);
            if (is_lower(prev) || is_digit(prev) || (is_upper(prev) && next_lower)) flush();
        }
        cur.push_back(c);
    }
    flush();
    return words;
}

bool all_digits(const std::string& w) {
    return std::all_of(w.begin(), w.end(), [](char c) { return is_digit(c); });
}

std::string join(const std::vector<std::string>& parts, std::string_view sep) {
    std::string out;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i) out += sep;
        out += parts[i];
    }
    return out;
}

// Whitespace runs become one space; ends are trimmed.
std::string squeeze(std::string_view text) {
    std::string out;
    bool pending_space = false;
    for (char c : text) {
        if (is_space(c)) {
            pending_space = !out.empty();
            continue;
        }
        if (pending_space) out.push_back(' ');
        pending_space = false;
        out.push_back(c);
    }
    return out;
}

// An identifier-like text (one run without spaces, e.g. "low_sharpe", "maxDrawdown") is
// spelled out as words; prose is kept as written.
bool identifier_like(const std::string& text) {
    if (text.empty() || text.find(' ') != std::string::npos) return false;
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return is_word_byte(c) || c == '_' || c == '-' || c == '.'; });
}

std::string spelled_word(const std::string& word) {
    std::string lower;
    for (char c : word) lower.push_back(to_lower(c));
    static constexpr std::pair<std::string_view, std::string_view> kSpellings[] = {
        {"pnl", "PnL"},   {"mi", "MI"},     {"os", "out-of-sample"},
        {"usdc", "USDC"}, {"id", "ID"},     {"ids", "IDs"},
        {"ic", "IC"},     {"nan", "NaN"},   {"json", "JSON"},
        {"sql", "SQL"},   {"api", "API"},   {"http", "HTTP"},
    };
    for (const auto& [from, to] : kSpellings) {
        if (lower == from) return std::string(to);
    }
    // Acronyms written in capitals stay so; everything else reads in lower case.
    bool all_caps = word.size() > 1 && std::none_of(word.begin(), word.end(), is_lower);
    return all_caps ? word : lower;
}

bool is_number(const std::string& piece) {
    std::size_t dots = std::count(piece.begin(), piece.end(), '.');
    return dots <= 1 && piece.front() != '.' && piece.back() != '.' &&
           std::all_of(piece.begin(), piece.end(), [](char c) { return is_digit(c) || c == '.'; });
}

// '_' and '-' separate words; a number such as "0.5" stays whole, other pieces are split
// further into their camelCase words.
std::string spell_out(const std::string& identifier) {
    std::vector<std::string> words;
    std::size_t start = 0;
    while (start <= identifier.size()) {
        std::size_t stop = identifier.find_first_of("_-", start);
        if (stop == std::string::npos) stop = identifier.size();
        std::string piece = identifier.substr(start, stop - start);
        if (!piece.empty() && is_number(piece)) {
            words.push_back(piece);
        } else {
            for (const auto& w : words_of(piece)) words.push_back(spelled_word(w));
        }
        start = stop + 1;
    }
    return join(words, " ");
}

std::string sentence(std::string text) {
    if (!text.empty() && is_lower(text[0])) text[0] = static_cast<char>(text[0] - 'a' + 'A');
    if (!text.empty()) {
        char last = text.back();
        if (last != '.' && last != '!' && last != '?') text.push_back('.');
    }
    return text;
}

// The statuses the submission pipeline stores, each as a sentence.
std::string known_status_sentence(std::string_view status) {
    if (status == "queued") return "Queued for submission.";
    if (status == "pending") return "Submitted; waiting for the evaluation server's verdict.";
    if (status == "paid") return "Submission was paid.";
    if (status == "rejected") return "Submission was rejected.";
    std::string_view subject;
    std::string_view rest;
    for (std::string_view prefix : {std::string_view("signal_"), std::string_view("strategy_")}) {
        if (status.substr(0, prefix.size()) == prefix) {
            subject = prefix == "signal_" ? "Signal" : "Strategy";
            rest = status.substr(prefix.size());
        }
    }
    if (subject.empty()) return {};
    static constexpr std::pair<std::string_view, std::string_view> kStages[] = {
        {"is_validating", " is being validated in-sample."},
        {"found", " was found by the evaluation server."},
        {"is_rejected", " was rejected in-sample."},
        {"os_validating", " is being validated out-of-sample."},
        {"os_passed", " passed out-of-sample validation."},
        {"os_failed", " failed out-of-sample validation."},
        {"useful", " was judged useful."},
        {"not_useful", " was judged not useful."},
        {"useful_transition_failed", " was judged useful, but the transition failed."},
    };
    for (const auto& [stage, text] : kStages) {
        if (rest == stage) return std::string(subject) + std::string(text);
    }
    return {};
}

}  // namespace

std::string reason_machine_token(std::string_view text) {
    std::vector<std::string> words = words_of(text);
    std::vector<std::string> kept;
    for (const auto& w : words) {
        if (!all_digits(w)) kept.push_back(w);
    }
    if (kept.empty()) kept = words;
    if (kept.empty()) return "unknown";
    for (auto& w : kept) {
        for (char& c : w) c = to_lower(c);
    }
    return join(kept, "_");
}

Value describe_reason(std::string_view text, std::string_view kind) {
    if (std::find(kReasonKinds.begin(), kReasonKinds.end(), kind) == kReasonKinds.end()) {
        throw ValueError("kind must be one of 'status', 'rejection_reason', 'failure_reason', got " +
                         py_repr(kind));
    }
    std::string clean = squeeze(text);
    std::string rendered;
    if (clean.empty()) {
        rendered = kind == "status"             ? "No status recorded."
                   : kind == "rejection_reason" ? "No rejection reason recorded."
                                                : "No failure reason recorded.";
    } else {
        if (kind == "status") rendered = known_status_sentence(clean);
        if (rendered.empty()) {
            std::string body = identifier_like(clean) ? spell_out(clean) : clean;
            if (body.empty()) body = clean;
            rendered = kind == "status"             ? "Status: " + sentence(body)
                       : kind == "rejection_reason" ? "Rejected: " + sentence(body)
                                                    : "Failed: " + sentence(body);
        }
    }
    return Mapping{{"rendered", rendered}, {"machine", reason_machine_token(clean)}};
}

}  // namespace plintrove
