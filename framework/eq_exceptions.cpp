// The framework's exception; its destructor is defined here so that the class has one home for
// its virtual table and type information across shared-library boundaries.
#include "eq_exceptions.h"

namespace tavik {

Error::~Error() = default;

}  // namespace tavik
