// The Cord encoding: one canonical byte string for every typed value.
#pragma once

#include "cord/codec.hpp"
#include "cord/encoded.hpp"
#include "cord/error.hpp"
#include "cord/evolving.hpp"
#include "cord/inline_bytes.hpp"
#include "cord/newtypes.hpp"
#include "cord/set.hpp"
#include "cord/skip.hpp"
#include "cord/text.hpp"
#include "cord/try.hpp"
#include "cord/wire.hpp"
