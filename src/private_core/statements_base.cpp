// Reserved for financial statements: loads, and defines nothing yet.
#include "rt.hpp"

namespace {
void body(rt::Module&) {}
}  // namespace

RT_MODULE(statements_base, body)
