#pragma once
#include "engine.h"
