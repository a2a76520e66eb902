// The readers as the binding sees them.
#ifndef QUILLON_READERS_H
#define QUILLON_READERS_H

#include "introspect/introspect.h"
#include "readers/abstractReader.h"
#include "readers/dataFlashReader.h"
#include "readers/mavLinkReader.h"

#endif
