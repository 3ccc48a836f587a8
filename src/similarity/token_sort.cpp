// Token sort ratio: both sides' tokens sorted by bytes, joined with single
// spaces, and scored by Levenshtein similarity.
#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>

#include "similarity/kernels.hpp"
#include "similarity/tokens.hpp"

namespace corvane::similarity {
namespace {

using tokens::Tokens;

// A sorted list joined with single spaces, in a stack buffer when short.
// Short tokens whose source string (ending at end) has readable bytes up to
// the next multiple of 8 are copied in fixed 8-byte blocks; the bytes past
// the token are overwritten by what follows or lie past the joined length,
// inside the buffer's 8 spare bytes.
class Joined {
public:
    Joined(const Tokens& t, const char* end) {
        std::size_t len = t.size() ? t.size() - 1 : 0;
        for (const auto& tok : t) len += tok.n;
        char* dst = local_;
        if (len + 8 > sizeof local_) {
            heap_.reset(new char[len + 8]);
            dst = heap_.get();
        }
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
        view_ = std::string_view(dst, len);
    }
    std::string_view view() const { return view_; }

private:
    char local_[256 + 8];
    std::unique_ptr<char[]> heap_;
    std::string_view view_;
};

}  // namespace

double token_sort_ratio(std::string_view a, std::string_view b) {
    if (a == b) return 1.0;  // equal joined strings: distance 0, or both empty
    Tokens ta, tb;
    tokens::sorted_tokens(a, ta);
    tokens::sorted_tokens(b, tb);
    if (ta.size() <= 1 && tb.size() <= 1) {
        std::string_view x = ta.empty() ? std::string_view() : ta[0].view();
        std::string_view y = tb.empty() ? std::string_view() : tb[0].view();
        return levenshtein_similarity(x, y);
    }
    Joined ja(ta, a.data() + a.size()), jb(tb, b.data() + b.size());
    return levenshtein_similarity(ja.view(), jb.view());
}

}  // namespace corvane::similarity
