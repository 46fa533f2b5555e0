// The library interface: the exported functions (exports.cpp). Later the page
// canvas and the page rendering driver join them here.
#pragma once

#include "rendrix.h"
