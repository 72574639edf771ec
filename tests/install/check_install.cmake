# Installs the build tree into a scratch prefix, then builds the consumer with find_package and
# with pkg-config and runs both.
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "failed: ${ARGN}\n${out}\n${err}")
  endif()
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(path lib/libtessel.so include/tessel/tessel.h include/tessel/tessel_version.h
        lib/cmake/tessel/tesselConfig.cmake lib/pkgconfig/tessel.pc etc/tessel/tessel.ini
        etc/tessel/corvan3.dct)
  if(NOT EXISTS ${prefix}/${path})
    message(FATAL_ERROR "not installed: ${path}")
  endif()
endforeach()

# CMake package.
run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/cmake-build -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_C_COMPILER=${C_COMPILER})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/cmake-build)
run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${prefix}/lib
    ${WORK_DIR}/cmake-build/tessel_consumer ${prefix}/etc/tessel/tessel.ini)

# pkg-config.
set(ENV{PKG_CONFIG_PATH} ${prefix}/lib/pkgconfig)
execute_process(COMMAND pkg-config --cflags --libs tessel
                RESULT_VARIABLE result OUTPUT_VARIABLE flags ERROR_VARIABLE err
                OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "pkg-config does not know tessel: ${err}")
endif()
separate_arguments(flag_list UNIX_COMMAND "${flags}")
run(${C_COMPILER} -std=c99 ${CONSUMER_DIR}/consumer.c ${flag_list} -o ${WORK_DIR}/pkg_consumer)
run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${prefix}/lib
    ${WORK_DIR}/pkg_consumer ${prefix}/etc/tessel/tessel.ini)
message(STATUS "installed package builds and runs with find_package and pkg-config")
