# thirdparty.cmake -- the compression libraries of the newer ZIP methods,
# cross-built here as static libraries from Debian's own source packages:
#
#   thirdparty_bz2    libbz2 (bzip2, method 12)             <bzlib.h>
#   thirdparty_lzma   liblzma, decoders (LZMA 14, XZ 95)    <lzma.h>
#   thirdparty_zstd   libzstd, decompression (Zstd 93)      <zstd.h>
#   thirdparty_ppmd8  PPMd var. I rev. 1 model and decoder  "Ppmd8.h"
#                     (PPMd, method 98), 7-Zip's public-domain files
#
# target_link_libraries(X PRIVATE thirdparty_lzma ...) brings the include
# folder and the definitions the headers need. tools/thirdparty.sh fetches
# the source packages through apt into a cache outside the checkout and
# unpacks them into this build folder at configure time, once per version.
# Each library is compiled with this build's toolchain at -O2 whatever the
# build type, without warnings (they are not our code) and without any DLL
# import beyond the C runtime.
#
# libbz2 is built with BZ_NO_STDIO: no FILE functions, no printing and no
# exit() inside a host's process. Its internal consistency checks call
#   extern "C" void bz_internal_error(int errcode);
# which the program linking it defines (none of them is reachable from the
# data being decompressed). Its functions are WINAPI (stdcall on i686), as
# bzlib.h declares them.

set(THIRDPARTY_DIR ${CMAKE_BINARY_DIR}/thirdparty)
execute_process(
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/../tools/thirdparty.sh unpack ${THIRDPARTY_DIR}
  RESULT_VARIABLE thirdparty_result)
if(NOT thirdparty_result EQUAL 0)
  message(FATAL_ERROR "the sources of the compression libraries are missing (tools/thirdparty.sh)")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${CMAKE_CURRENT_LIST_DIR}/../tools/thirdparty.sh)

# thirdparty_library(NAME DIR SOURCES...): a static library of C files under
# DIR, compiled at -O2 without warnings.
function(thirdparty_library name dir)
  set(sources ${ARGN})
  list(TRANSFORM sources PREPEND ${dir}/)
  add_library(${name} STATIC ${sources})
  set_target_properties(${name} PROPERTIES
    COMPILE_OPTIONS "-O2;-w"
    ARCHIVE_OUTPUT_DIRECTORY ${THIRDPARTY_DIR}/lib)
  target_compile_definitions(${name} PRIVATE NDEBUG)
endfunction()

# libbz2: the whole library (decompression alone is not separable in it).
set(thirdparty_src ${THIRDPARTY_DIR}/bzip2)
thirdparty_library(thirdparty_bz2 ${thirdparty_src}
  blocksort.c huffman.c crctable.c randtable.c compress.c decompress.c bzlib.c)
target_include_directories(thirdparty_bz2 PUBLIC ${thirdparty_src})
target_compile_definitions(thirdparty_bz2 PUBLIC BZ_NO_STDIO)

# liblzma: the .xz stream, .lzma and raw decoders with every filter of the
# format, integrity checks, no threads and no encoders. Its configure
# results are fixed here: every target is a little-endian x86 with GCC.
set(thirdparty_src ${THIRDPARTY_DIR}/xz-utils/src)
thirdparty_library(thirdparty_lzma ${thirdparty_src}
  liblzma/check/check.c liblzma/check/crc32_fast.c liblzma/check/crc32_table.c
  liblzma/check/crc64_fast.c liblzma/check/crc64_table.c liblzma/check/sha256.c
  liblzma/common/alone_decoder.c liblzma/common/auto_decoder.c
  liblzma/common/block_buffer_decoder.c liblzma/common/block_decoder.c
  liblzma/common/block_header_decoder.c liblzma/common/block_util.c
  liblzma/common/common.c liblzma/common/filter_buffer_decoder.c
  liblzma/common/filter_common.c liblzma/common/filter_decoder.c
  liblzma/common/filter_flags_decoder.c
  liblzma/common/index.c liblzma/common/index_decoder.c liblzma/common/index_hash.c
  liblzma/common/stream_buffer_decoder.c liblzma/common/stream_decoder.c
  liblzma/common/stream_flags_common.c liblzma/common/stream_flags_decoder.c
  liblzma/common/vli_decoder.c liblzma/common/vli_size.c
  liblzma/delta/delta_common.c liblzma/delta/delta_decoder.c
  liblzma/lz/lz_decoder.c
  liblzma/lzma/lzma_decoder.c liblzma/lzma/lzma2_decoder.c
  liblzma/simple/simple_coder.c liblzma/simple/simple_decoder.c
  liblzma/simple/x86.c liblzma/simple/powerpc.c liblzma/simple/ia64.c
  liblzma/simple/arm.c liblzma/simple/armthumb.c liblzma/simple/arm64.c
  liblzma/simple/sparc.c)
target_include_directories(thirdparty_lzma PUBLIC ${thirdparty_src}/liblzma/api)
target_include_directories(thirdparty_lzma PRIVATE
  ${thirdparty_src}/common ${thirdparty_src}/liblzma/common ${thirdparty_src}/liblzma/check ${thirdparty_src}/liblzma/lz
  ${thirdparty_src}/liblzma/rangecoder ${thirdparty_src}/liblzma/lzma ${thirdparty_src}/liblzma/delta
  ${thirdparty_src}/liblzma/simple)
target_compile_definitions(thirdparty_lzma PUBLIC LZMA_API_STATIC)
target_compile_definitions(thirdparty_lzma PRIVATE
  HAVE_STDBOOL_H HAVE__BOOL HAVE_STDINT_H HAVE_INTTYPES_H
  HAVE___BUILTIN_BSWAPXX HAVE___BUILTIN_ASSUME_ALIGNED TUKLIB_FAST_UNALIGNED_ACCESS
  TUKLIB_SYMBOL_PREFIX=lzma_
  HAVE_CHECK_CRC32 HAVE_CHECK_CRC64 HAVE_CHECK_SHA256
  HAVE_DECODERS HAVE_DECODER_LZMA1 HAVE_DECODER_LZMA2 HAVE_DECODER_DELTA
  HAVE_DECODER_X86 HAVE_DECODER_POWERPC HAVE_DECODER_IA64 HAVE_DECODER_ARM
  HAVE_DECODER_ARMTHUMB HAVE_DECODER_ARM64 HAVE_DECODER_SPARC)

# libzstd: decompression only, single-threaded, no legacy formats, the
# portable C Huffman decoder (its x86-64 assembly is written for ELF).
set(thirdparty_src ${THIRDPARTY_DIR}/libzstd/lib)
thirdparty_library(thirdparty_zstd ${thirdparty_src}
  common/debug.c common/entropy_common.c common/error_private.c
  common/fse_decompress.c common/xxhash.c common/zstd_common.c
  decompress/huf_decompress.c decompress/zstd_ddict.c
  decompress/zstd_decompress.c decompress/zstd_decompress_block.c)
target_include_directories(thirdparty_zstd PUBLIC ${thirdparty_src})
target_compile_definitions(thirdparty_zstd PRIVATE
  ZSTD_DISABLE_ASM ZSTD_LEGACY_SUPPORT=0 XXH_NAMESPACE=ZSTD_)

# PPMd var. I rev. 1: the model and the decoder, and the headers they
# include, copied alone into a folder of their own so that nothing else of
# 7-Zip is within reach. Each must still say of itself that it is public
# domain: a later version that does not stops the configuration here.
set(thirdparty_src ${THIRDPARTY_DIR}/ppmd8)
foreach(thirdparty_file Ppmd8.c Ppmd8Dec.c Ppmd8.h Ppmd.h CpuArch.h 7zTypes.h Precomp.h Compiler.h)
  file(STRINGS ${THIRDPARTY_DIR}/7zip/C/${thirdparty_file} thirdparty_head LIMIT_COUNT 3)
  if(NOT thirdparty_head MATCHES "Public domain")
    message(FATAL_ERROR "7zip's C/${thirdparty_file} no longer says it is public domain")
  endif()
  configure_file(${THIRDPARTY_DIR}/7zip/C/${thirdparty_file} ${thirdparty_src}/${thirdparty_file} COPYONLY)
endforeach()
thirdparty_library(thirdparty_ppmd8 ${thirdparty_src} Ppmd8.c Ppmd8Dec.c)
target_include_directories(thirdparty_ppmd8 PUBLIC ${thirdparty_src})
