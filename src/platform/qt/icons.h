#pragma once
// Moved to forms/: this stays only until every include names the new place.
#include "forms/icons.h"
