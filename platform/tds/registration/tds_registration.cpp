// Linked into every program that links the provider, so the provider's classes are in the
// class table before main even when no code of the program names the provider: the MS SQL
// source reaches it through CoCreateInstance and the service components alone.
#include "platform/tds/tds_provider.h"
