# Compile options every target of ours shares, as one interface target.
add_library(kestrine_options INTERFACE)
target_compile_options(kestrine_options INTERFACE
  -Wall -Wextra -Wpedantic -Wformat=2 -Wnon-virtual-dtor -Woverloaded-virtual
  -Wshadow -Wcast-qual -Wnull-dereference)
target_compile_definitions(kestrine_options INTERFACE $<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)

if(KESTRINE_SANITIZE)
  target_compile_options(kestrine_options INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  target_link_options(kestrine_options INTERFACE -fsanitize=address,undefined)
endif()

if(KESTRINE_SANITIZE_THREAD)
  if(KESTRINE_SANITIZE OR KESTRINE_FUZZ)
    message(FATAL_ERROR "ThreadSanitizer does not combine with the other sanitizers")
  endif()
  target_compile_options(kestrine_options INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
  target_link_options(kestrine_options INTERFACE -fsanitize=thread)
endif()

find_package(Threads REQUIRED)
target_link_libraries(kestrine_options INTERFACE Threads::Threads)

# The dial blocker's invariants are fatal where faults are looked for: debug and fuzz builds.
if(KESTRINE_FUZZ OR CMAKE_BUILD_TYPE STREQUAL "Debug")
  target_compile_definitions(kestrine_options INTERFACE KESTRINE_INVARIANTS)
endif()

# The sanitizers the fuzz tree adds to coverage. Long runs for volume may leave AddressSanitizer
# out (-DKESTRINE_FUZZ_SANITIZERS=undefined, about twice the executions a second); the bounded
# runs of scripts/test keep both.
set(KESTRINE_FUZZ_SANITIZERS "address,undefined" CACHE STRING
  "Sanitizers of the fuzz tree, beside the fuzzer's coverage")

if(KESTRINE_FUZZ)
  # Instrument the whole core so the fuzzers are guided by coverage of the code under test.
  target_compile_options(kestrine_options INTERFACE
    -fsanitize=fuzzer-no-link,${KESTRINE_FUZZ_SANITIZERS} -fno-omit-frame-pointer)
  target_link_options(kestrine_options INTERFACE -fsanitize=${KESTRINE_FUZZ_SANITIZERS})
endif()
