// Token sort ratio: both sides' tokens sorted by bytes, joined with single
// spaces, and scored by Levenshtein similarity.
//
// A string whose tokens already stand in sorted order, one space apart,
// with no white space around them, is its own joined form and is not
// copied; a pair of strings without white space (a single token or none
// each) is scored as it is, without being tokenized. The block routines
// (tokens_avx2.cpp) join short strings from registers and the others with
// sorted_join below, then score the joined strings together with the
// Levenshtein block routine.
#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>

#include "similarity/kernels.hpp"
#include "similarity/tokens.hpp"

namespace corvane::similarity {
namespace {

using tokens::Tokens;

// True when s is exactly its sorted tokens t joined with single spaces.
bool already_joined(const Tokens& t, std::string_view s) {
    if (t.empty()) return s.empty();
    if (t[0].p != s.data() || t[t.size() - 1].p + t[t.size() - 1].n != s.data() + s.size()) return false;
    for (std::size_t i = 0; i + 1 < t.size(); ++i) {
        const char* gap = t[i].p + t[i].n;
        if (t[i + 1].p != gap + 1 || *gap != ' ') return false;
    }
    return true;
}

// The sorted tokens t of s joined with single spaces: s itself, a single
// token, or a copy written to dst, which has room for s.size() + 8 bytes
// (the joined form is never longer than s). Short tokens whose source
// string has readable bytes up to the next multiple of 8 are copied in
// fixed 8-byte blocks; the bytes past the token are overwritten by what
// follows or lie past the joined length, inside the 8 spare bytes.
std::string_view join(const Tokens& t, std::string_view s, char* dst) {
    if (t.empty()) return {};
    if (t.size() == 1) return t[0].view();
    if (already_joined(t, s)) return s;
    const char* end = s.data() + s.size();
    std::size_t k = 0;
    for (std::size_t i = 0; i < t.size(); ++i) {
        if (i) dst[k++] = ' ';
        const tokens::Token& tok = t[i];
        const std::size_t whole = (tok.n + 7) & ~std::size_t{7};
        if (tok.n <= 32 && static_cast<std::size_t>(end - tok.p) >= whole) {
            for (std::size_t q = 0; q < whole; q += 8) std::memcpy(dst + k + q, tok.p + q, 8);
        } else {
            std::memcpy(dst + k, tok.p, tok.n);
        }
        k += tok.n;
    }
    return {dst, k};
}

// Room for one string's joined form: on the stack when short.
class JoinBuffer {
public:
    explicit JoinBuffer(std::size_t size) {
        if (size + 8 > sizeof local_) {
            heap_.reset(new char[size + 8]);
            data_ = heap_.get();
        }
    }
    char* data() { return data_; }

private:
    char local_[256 + 8];
    std::unique_ptr<char[]> heap_;
    char* data_ = local_;
};

}  // namespace

namespace tokens {

std::string_view sorted_join(std::string_view s, char* dst) {
    Tokens t;
    sorted_tokens(s, t);
    return join(t, s, dst);
}

}  // namespace tokens

double token_sort_ratio(std::string_view a, std::string_view b) {
    if (a == b) return 1.0;  // equal joined strings: distance 0, or both empty
    if (tokens::without_space(a) && tokens::without_space(b)) return levenshtein_similarity(a, b);
    Tokens ta, tb;
    tokens::sorted_tokens(a, ta);
    tokens::sorted_tokens(b, tb);
    if (ta.size() <= 1 && tb.size() <= 1) return levenshtein_similarity(join(ta, a, nullptr), join(tb, b, nullptr));
    JoinBuffer ja(a.size()), jb(b.size());
    return levenshtein_similarity(join(ta, a, ja.data()), join(tb, b, jb.data()));
}

}  // namespace corvane::similarity
