// The calendar belongs to the data model, below both the reader and the
// settings; this name stays for the code that includes it from here.
#pragma once

#include "model/calendar.h"
