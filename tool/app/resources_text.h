// The resource script and its header as text, for backends that read the script itself.
#pragma once

extern const char kTarnelResourceScript[];
extern const char kTarnelResourceHeader[];
