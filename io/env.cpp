#include "env.h"

namespace quillmend {
namespace {
thread_local Env* tEnv = nullptr;
}  // namespace

Env* CurrentEnv() { return tEnv != nullptr ? tEnv : Env::Default(); }

ScopedEnv::ScopedEnv(Env* env) : previous_(tEnv) { tEnv = env; }
ScopedEnv::~ScopedEnv() { tEnv = previous_; }

}  // namespace quillmend
