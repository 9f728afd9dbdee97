# Cross-builds the launcher for 64-bit Windows with Debian's mingw-w64, against the Qt and
# OpenSSL that scripts/windows-toolchain builds (pass its folder as KORVINA_WINDOWS_TOOLCHAIN).
# The posix-thread compilers: the default win32-thread ones have no std::thread or std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KORVINA_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KORVINA_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KORVINA_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KORVINA_MINGW_TRIPLE}-windres)

# Passed on to try_compile projects, which read the toolchain file again.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KORVINA_WINDOWS_TOOLCHAIN)
if(NOT KORVINA_WINDOWS_TOOLCHAIN OR NOT EXISTS "${KORVINA_WINDOWS_TOOLCHAIN}/lib/cmake/Qt5")
    message(FATAL_ERROR "KORVINA_WINDOWS_TOOLCHAIN must name the folder scripts/windows-toolchain "
                        "prints (Qt and OpenSSL for Windows)")
endif()
set(CMAKE_FIND_ROOT_PATH "${KORVINA_WINDOWS_TOOLCHAIN}" /usr/${KORVINA_MINGW_TRIPLE})
set(CMAKE_PREFIX_PATH "${KORVINA_WINDOWS_TOOLCHAIN}")
set(OPENSSL_ROOT_DIR "${KORVINA_WINDOWS_TOOLCHAIN}")
# Host programs (Qt's moc, rcc and uic are built for this machine) from here, the rest only
# from the Windows roots.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# zlib linked in, one DLL fewer to ship.
set(ZLIB_USE_STATIC_LIBS ON)
