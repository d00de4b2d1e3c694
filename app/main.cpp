#include <ctime>

#include "app/trainer.h"

int main() { return runTrainer(static_cast<int64_t>(std::time(nullptr))); }
