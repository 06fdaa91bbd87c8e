#pragma once

// The core is compiled with hidden visibility; what carries this mark is part of the shared
// object's interface (the model class and the corpus and console functions).
#define LORVANE_API __attribute__((visibility("default")))
