# The core, compiled into both the stub and the daduvivu command. Paths are relative
# to the source root.
set(CORE_SOURCES
    container/archive.cpp
    container/block_stream.cpp
    container/fatal.cpp
    container/volumes.cpp
    engine/huffman.cpp
    engine/lz_decoder.cpp
    engine/extract.cpp
    fsutil/folders.cpp
)
