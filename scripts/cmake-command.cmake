# Prints the path of the cmake binary that runs this script, behind whatever
# shim started it: `cmake -P scripts/cmake-command.cmake`.
message("${CMAKE_COMMAND}")
