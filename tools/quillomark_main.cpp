// The quillomark executable: everything happens in the entry of src/app.
#include "app/QuilloMark.h"

int main(int argc, char** argv) {
    return RunQuilloMark(argc, argv);
}
