# quenvale_read_arch(NAME): the row of tools/arches.tsv for the machine
# NAME, as QUENVALE_ARCH_<COLUMN> variables in the caller's scope (columns
# in capitals: QUENVALE_ARCH_MUSL, QUENVALE_ARCH_GNU, ...); "-" there is
# empty here. Fails the configuration for a name the table lacks.
function(quenvale_read_arch name)
  set(table "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../tools/arches.tsv")
  file(STRINGS "${table}" lines REGEX "^[^#]")
  set(header "")
  foreach(line IN LISTS lines)
    # Each tab a list separator; empty fields never occur ("-" instead).
    string(REPLACE "\t" ";" fields "${line}")
    if(NOT header)
      set(header "${fields}")
      continue()
    endif()
    list(GET fields 0 row_name)
    if(NOT row_name STREQUAL name)
      continue()
    endif()
    list(LENGTH header count)
    math(EXPR last "${count} - 1")
    foreach(i RANGE ${last})
      list(GET header ${i} column)
      list(GET fields ${i} value)
      string(TOUPPER "${column}" column)
      if(value STREQUAL "-")
        set(value "")
      endif()
      set(QUENVALE_ARCH_${column} "${value}" PARENT_SCOPE)
    endforeach()
    return()
  endforeach()
  message(FATAL_ERROR "no machine '${name}' in ${table}")
endfunction()

# quenvale_toolchain_arch(TOOLCHAIN-FILE): the start of a toolchain file
# that takes -DQUENVALE_ARCH=NAME: the machine's row, and the system CMake
# builds for.
macro(quenvale_toolchain_arch toolchain)
  if(NOT QUENVALE_ARCH)
    message(FATAL_ERROR "${toolchain} needs -DQUENVALE_ARCH=NAME (a machine of tools/arches.tsv)")
  endif()
  # The checks CMake compiles in projects of their own read this file
  # again, and need it too.
  list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUENVALE_ARCH)
  quenvale_read_arch(${QUENVALE_ARCH})
  set(CMAKE_SYSTEM_NAME Linux)
  set(CMAKE_SYSTEM_PROCESSOR ${QUENVALE_ARCH_PROCESSOR})
endmacro()
