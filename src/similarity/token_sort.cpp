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
class Joined {
public:
    explicit Joined(const Tokens& t) {
        std::size_t len = t.size() ? t.size() - 1 : 0;
        for (const auto& tok : t) len += tok.n;
        char* dst = local_;
        if (len > sizeof local_) {
            heap_.reset(new char[len]);
            dst = heap_.get();
        }
        std::size_t k = 0;
        for (std::size_t i = 0; i < t.size(); ++i) {
            if (i) dst[k++] = ' ';
            std::memcpy(dst + k, t[i].p, t[i].n);
            k += t[i].n;
        }
        view_ = std::string_view(dst, len);
    }
    std::string_view view() const { return view_; }

private:
    char local_[256];
    std::unique_ptr<char[]> heap_;
    std::string_view view_;
};

}  // namespace

double token_sort_ratio(std::string_view a, std::string_view b) {
    Tokens ta, tb;
    tokens::sorted_tokens(a, ta);
    tokens::sorted_tokens(b, tb);
    if (ta.size() <= 1 && tb.size() <= 1) {
        std::string_view x = ta.empty() ? std::string_view() : ta[0].view();
        std::string_view y = tb.empty() ? std::string_view() : tb[0].view();
        return levenshtein_similarity(x, y);
    }
    Joined ja(ta), jb(tb);
    return levenshtein_similarity(ja.view(), jb.view());
}

}  // namespace corvane::similarity
