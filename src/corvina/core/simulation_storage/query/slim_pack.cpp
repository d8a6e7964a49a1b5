// The kept texts of the result index written against a reference text
// (see slim.hpp): a text is a series of runs, each either copied from the
// reference (its length and where it begins there) or its own bytes.
#include "query/slim.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

namespace css::query {

struct Reference {
    std::string text;
    // Where each run of kGram bytes of the text first begins, plus one (0:
    // none), by the run's hash.
    std::vector<uint32_t> first;
    unsigned shift = 0;
};

namespace {

constexpr size_t kGram = 6;
constexpr size_t kMinCopy = 5;   // a shorter copy costs more than the bytes
constexpr size_t kPackFrom = 64;  // shorter texts are kept as they are
constexpr int kPoorInARow = 8;   // texts written poorly before a new reference

uint32_t gram_hash(const char* p, unsigned shift) {
    uint64_t v = 0;
    std::memcpy(&v, p, kGram);
    return static_cast<uint32_t>((v * 0x9E3779B97F4A7C15ULL) >> shift);
}

std::shared_ptr<const Reference> make_reference(const std::string& text) {
    auto r = std::make_shared<Reference>();
    r->text = text;
    size_t buckets = 64;
    unsigned bits = 6;
    while (buckets < text.size()) {
        buckets <<= 1;
        ++bits;
    }
    r->shift = 64 - bits;
    r->first.assign(buckets, 0);
    for (size_t i = 0; i + kGram <= text.size(); ++i) {
        uint32_t& at = r->first[gram_hash(text.data() + i, r->shift)];
        if (!at) at = static_cast<uint32_t>(i + 1);
    }
    return r;
}

void put_number(std::string& out, size_t v) {
    while (v >= 0x80) {
        out.push_back(static_cast<char>((v & 0x7f) | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<char>(v));
}

bool get_number(std::string_view in, size_t& at, size_t& v) {
    v = 0;
    for (unsigned shift = 0; at < in.size() && shift < 64; shift += 7) {
        const auto b = static_cast<unsigned char>(in[at++]);
        v |= static_cast<size_t>(b & 0x7f) << shift;
        if (!(b & 0x80)) return true;
    }
    return false;
}

// A run of the text's own bytes: its length twice (the low bit clear), then the bytes.
void put_own(std::string& out, std::string_view text, size_t from, size_t to) {
    if (to == from) return;
    put_number(out, (to - from) << 1);
    out.append(text.substr(from, to - from));
}

// `text` written against `r`. Each place tries where the last copy left
// off first (a value replaced by one as long), then the reference's first
// run of the same bytes.
void write_against(const std::string& text, const Reference& r, std::string& out) {
    out.clear();
    const std::string& ref = r.text;
    const size_t n = text.size(), m = ref.size();
    // How many bytes from text[i] and ref[at] are alike, eight at a time.
    auto common = [&](size_t i, size_t at) {
        const size_t most = std::min(n - i, m - at);
        size_t k = 0;
        for (; k + 8 <= most; k += 8) {
            uint64_t a, b;
            std::memcpy(&a, text.data() + i + k, 8);
            std::memcpy(&b, ref.data() + at + k, 8);
            if (a != b) return k + static_cast<size_t>(__builtin_ctzll(a ^ b) / 8);
        }
        while (k < most && text[i + k] == ref[at + k]) ++k;
        return k;
    };
    size_t i = 0, own_from = 0, expect = 0;
    while (i < n) {
        size_t best = 0, best_at = 0;
        const size_t guess = expect + (i - own_from);
        if (guess < m) best = common(i, best_at = guess);
        if (best < kGram && i + kGram <= n) {
            if (uint32_t at = r.first[gram_hash(text.data() + i, r.shift)]) {
                const size_t k = common(i, at - 1);
                if (k > best) best = k, best_at = at - 1;
            }
        }
        if (best < kMinCopy) {
            ++i;
            continue;
        }
        put_own(out, text, own_from, i);
        put_number(out, best << 1 | 1);
        put_number(out, best_at);
        i += best;
        own_from = i;
        expect = best_at + best;
    }
    put_own(out, text, own_from, n);
}

}  // namespace

void pack(Slim& s) {
    // The reference of the texts kept lately, and how many in a row it served poorly.
    static std::shared_ptr<const Reference> current;
    static int poor = 0;
    static std::string out;
    if (s.ref || s.text.size() < kPackFrom) return;
    if (!current) current = make_reference(s.text);
    write_against(s.text, *current, out);
    if (out.size() * 2 > s.text.size()) {
        if (++poor < kPoorInARow) {
            if (out.size() >= s.text.size()) return;
        } else {
            current = make_reference(s.text);
            poor = 0;
            write_against(s.text, *current, out);
        }
    } else {
        poor = 0;
    }
    std::string(out).swap(s.text);  // at its own size: assign would keep the capacity
    s.ref = current;
}

std::string_view Slim::plain(std::string& scratch) const {
    if (!ref) return text;
    scratch.clear();
    const std::string& from = ref->text;
    size_t at = 0, head = 0, where = 0;
    while (at < text.size()) {
        if (!get_number(text, at, head)) break;
        const size_t length = head >> 1;
        if (head & 1) {
            if (!get_number(text, at, where) || where > from.size() || length > from.size() - where) break;
            scratch.append(from, where, length);
        } else {
            if (length > text.size() - at) break;
            scratch.append(text, at, length);
            at += length;
        }
    }
    return scratch;
}

}  // namespace css::query
