// The quillomark executable: everything happens in the entry of src/app.
#include <cstdio>

#include "app/QuilloMark.h"
#include "platform/StandardPortGrant.h"

int main(int argc, char** argv) {
    // Before anything else: the standard mail ports are the only thing a
    // granted capability may be used for, and it must not outlive them.
    if (UseStandardPortGrant("Quillomark.ini") != PlatformResult::Ok) {
        std::fprintf(stderr, "quillomark: cannot give up the capabilities it was started with; not starting\n");
        return 1;
    }
    return RunQuilloMark(argc, argv);
}
