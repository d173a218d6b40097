// Reserved for symbol baskets: loads, and defines nothing yet.
#include "rt.hpp"

namespace {
void body(rt::Module&) {}
}  // namespace

RT_MODULE(basket_base, body)
