// Packs a folder with the project's packer in front of a given stub, so that the
// end-to-end tests also extract what the real packer makes, not only hand-built archives.
//
//   e2e_pack STUB OUTPUT VOLUME_SIZE RUN_AFTER SOURCE...
//
// VOLUME_SIZE 0 writes one file; RUN_AFTER "-" stores none.
#include <stdio.h>

#include <fstream>
#include <iterator>

#include "packer/pack.h"

int main(int argc, char** argv) {
    if (argc < 6) {
        fprintf(stderr, "usage: e2e_pack STUB OUTPUT VOLUME_SIZE RUN_AFTER SOURCE...\n");
        return 2;
    }
    std::ifstream stub(argv[1], std::ios::binary);
    if (!stub) {
        fprintf(stderr, "cannot read %s\n", argv[1]);
        return 2;
    }
    PackOptions options;
    options.stub.assign(std::istreambuf_iterator<char>(stub), std::istreambuf_iterator<char>());
    options.output = argv[2];
    options.volumeSize = std::stoull(argv[3]);
    if (std::string(argv[4]) != "-") options.runAfter = argv[4];
    options.messageUtf8 = "パッカーで作ったテスト用の書庫です。\n二行目。";
    options.identityStamp = 45000.25;
    for (int i = 5; i < argc; ++i) options.sources.push_back(argv[i]);
    try {
        PackResult result = Pack(options);
        for (const std::string& path : result.volumePaths) printf("%s\n", path.c_str());
    } catch (const PackError& e) {
        fprintf(stderr, "e2e_pack: %s\n", e.what());
        return 1;
    }
    return 0;
}
