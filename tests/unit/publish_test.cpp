#include "publish/check.h"

#include <gtest/gtest.h>
