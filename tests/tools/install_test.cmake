# Installs the built tree into a fresh prefix, then builds the host program of
# install_host/ against it the way a host's build would (MODE pkg-config or
# find_package) and runs it in a fresh working directory.
#   cmake -DBUILD_DIR=... -DLIBDIR=lib -DMODE=... -DC_COMPILER=... [-DGENERATOR=...] [-DSANITIZE=...]
#         -P install_test.cmake
foreach(var BUILD_DIR LIBDIR MODE C_COMPILER)
  if(NOT ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()
set(host_source ${CMAKE_CURRENT_LIST_DIR}/install_host)
set(tmp "$ENV{TMPDIR}")
if(NOT tmp)
  set(tmp /tmp)
endif()
string(RANDOM LENGTH 10 key)
set(work "${tmp}/qx-install-${MODE}-${key}")
set(prefix "${work}/prefix")
file(MAKE_DIRECTORY "${work}/run")
set(flags "")
if(SANITIZE)
  set(flags "-fsanitize=${SANITIZE}")
endif()

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out ${run_options})
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

run("cmake --install" ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${prefix}")

# Every path a host's build or loader looks for.
set(libdir "${prefix}/${LIBDIR}")
foreach(file include/qx_ai.h include/qx_tool.h bin/qxvisor)
  if(NOT EXISTS "${prefix}/${file}")
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()
foreach(link libQxVisor.so libQxVisor.so.1)
  if(NOT IS_SYMLINK "${libdir}/${link}")
    message(FATAL_ERROR "no link ${link} in ${libdir}")
  endif()
endforeach()

if(MODE STREQUAL "pkg-config")
  find_program(PKG_CONFIG pkg-config REQUIRED)
  set(ENV{PKG_CONFIG_PATH} "${libdir}/pkgconfig")
  run("pkg-config" ${PKG_CONFIG} --cflags --libs qxvisor)
  separate_arguments(pc_flags UNIX_COMMAND "${out}")
  run("pkg-config" ${PKG_CONFIG} --variable=libdir qxvisor)
  string(STRIP "${out}" pc_libdir)
  separate_arguments(extra UNIX_COMMAND "${flags}")
  run("compiling the host with pkg-config's flags"
      ${C_COMPILER} ${extra} -o "${work}/host" "${host_source}/host.c" ${pc_flags} "-Wl,-rpath,${pc_libdir}")
  set(host "${work}/host")
elseif(MODE STREQUAL "find_package")
  if(NOT GENERATOR)
    set(GENERATOR "Unix Makefiles")
  endif()
  run("configuring the host with find_package(QxVisor)"
      ${CMAKE_COMMAND} -S "${host_source}" -B "${work}/build" -G "${GENERATOR}"
      "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_C_COMPILER=${C_COMPILER}" "-DCMAKE_C_FLAGS=${flags}"
      "-DCMAKE_EXE_LINKER_FLAGS=${flags}")
  run("building the host" ${CMAKE_COMMAND} --build "${work}/build")
  set(host "${work}/build/host")
else()
  message(FATAL_ERROR "MODE must be pkg-config or find_package, not ${MODE}")
endif()

set(run_options WORKING_DIRECTORY "${work}/run")
run("the host program" "${host}")
message(STATUS "${out}")
# The tool must find the installed library through its own RPATH.
run("the installed qxvisor" "${prefix}/bin/qxvisor" --help)

file(REMOVE_RECURSE "${work}")
