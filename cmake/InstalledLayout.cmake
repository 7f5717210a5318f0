# The installed layout's places, read from platform/SystemRoot.h so that the program and its
# installation agree: the program folder and the log the folder's qdlog.log links to.
file(STRINGS ${PROJECT_SOURCE_DIR}/platform/SystemRoot.h layout_lines
     REGEX "kInstalled(ProgramDirectory|LogDirectory) = \"")
foreach(line ${layout_lines})
  string(REGEX MATCH "k(Installed[A-Za-z]+) = \"([^\"]+)\"" _ "${line}")
  set(KESTRINE_${CMAKE_MATCH_1} "${CMAKE_MATCH_2}")
endforeach()
if(NOT KESTRINE_InstalledProgramDirectory OR NOT KESTRINE_InstalledLogDirectory)
  message(FATAL_ERROR "platform/SystemRoot.h no longer names the installed layout's folders")
endif()
# The program folder relative to the prefix (lib/kestrine under /usr).
string(REGEX REPLACE "^/usr/" "" KESTRINE_PROGRAM_DIR "${KESTRINE_InstalledProgramDirectory}")
