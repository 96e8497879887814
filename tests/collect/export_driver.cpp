// Runs the export as the server's command line does, for the export test.
#include <cstring>

#include "collect/Export.h"

int main(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "export") != 0) return 2;
    return orvant::ExportCommand(argc - 2, argv + 2);
}
