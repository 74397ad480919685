// The higher layer that base/clock.h reaches for.
#pragma once
