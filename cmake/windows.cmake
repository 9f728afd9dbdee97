# The Windows launcher as players get it: the executable's resources (icon, version, manifest),
# the folder a player runs (package/: the executable, the Qt and runtime DLLs it loads, the
# plugins Qt loads from beside it) and the installer made from that folder.

set(_resources "${PROJECT_SOURCE_DIR}/resources/windows")
set(KORVINA_RESOURCE_DIR "${_resources}")
set(KORVINA_RC_VERSION "${PROJECT_VERSION}")
string(REPLACE "." "," KORVINA_RC_COMMAS "${PROJECT_VERSION}")
set(KORVINA_MANIFEST "${CMAKE_CURRENT_BINARY_DIR}/korvina-launcher.manifest")
configure_file("${_resources}/korvina-launcher.manifest" "${KORVINA_MANIFEST}" @ONLY)
configure_file("${_resources}/korvina-launcher.rc.in" korvina-launcher.rc @ONLY)
target_sources(korvina-launcher PRIVATE "${CMAKE_CURRENT_BINARY_DIR}/korvina-launcher.rc")
set_property(SOURCE "${CMAKE_CURRENT_BINARY_DIR}/korvina-launcher.rc" APPEND PROPERTY
    OBJECT_DEPENDS "${_resources}/korvina.ico" "${KORVINA_MANIFEST}")

# The runtime of the posix-thread compiler, where the compiler itself finds it.
set(_runtime)
foreach(_dll libgcc_s_seh-1.dll libstdc++-6.dll libwinpthread-1.dll)
    execute_process(COMMAND "${CMAKE_CXX_COMPILER}" -print-file-name=${_dll}
        OUTPUT_VARIABLE _path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${_path}" OR NOT EXISTS "${_path}")
        message(FATAL_ERROR "${CMAKE_CXX_COMPILER} does not know where ${_dll} is")
    endif()
    list(APPEND _runtime "${_path}")
endforeach()
# OpenSSL's DLLs stand beside its import libraries' folder.
get_filename_component(_openssl_bin "${OPENSSL_CRYPTO_LIBRARY}" DIRECTORY)
get_filename_component(_openssl_bin "${_openssl_bin}/../bin" ABSOLUTE)
file(GLOB _openssl_dlls "${_openssl_bin}/libcrypto-*.dll" "${_openssl_bin}/libssl-*.dll")
list(LENGTH _openssl_dlls _count)
if(NOT _count EQUAL 2)
    message(FATAL_ERROR "OpenSSL's DLLs are not in ${_openssl_bin}")
endif()

set(KORVINA_PACKAGE_DIR "${CMAKE_BINARY_DIR}/package")
set(_stripped)
foreach(_dll IN LISTS _runtime _openssl_dlls)
    get_filename_component(_name "${_dll}" NAME)
    list(APPEND _stripped "${KORVINA_PACKAGE_DIR}/${_name}")
endforeach()
set(_qt_dlls)
foreach(_module Core Gui Widgets Network)
    list(APPEND _qt_dlls "$<TARGET_FILE:Qt5::${_module}>")
endforeach()
add_custom_target(korvina_windows_package ALL
    COMMAND "${CMAKE_COMMAND}" -E rm -rf "${KORVINA_PACKAGE_DIR}"
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${KORVINA_PACKAGE_DIR}/platforms"
            "${KORVINA_PACKAGE_DIR}/imageformats"
    COMMAND "${CMAKE_COMMAND}" -E copy $<TARGET_FILE:korvina-launcher> ${_qt_dlls}
            ${_openssl_dlls} ${_runtime} "${KORVINA_PACKAGE_DIR}"
    COMMAND "${CMAKE_COMMAND}" -E copy $<TARGET_FILE:Qt5::QWindowsIntegrationPlugin>
            "${KORVINA_PACKAGE_DIR}/platforms"
    # News pictures may be JPEG; PNG is built into Qt itself.
    COMMAND "${CMAKE_COMMAND}" -E copy $<TARGET_FILE:Qt5::QJpegPlugin>
            "${KORVINA_PACKAGE_DIR}/imageformats"
    # Debian ships the runtime and OpenSSL's build keeps its DLLs with symbols: 30 MB of 54.
    COMMAND "${CMAKE_STRIP}" --strip-unneeded ${_stripped}
            "${KORVINA_PACKAGE_DIR}/$<TARGET_FILE_NAME:korvina-launcher>"
    DEPENDS korvina-launcher
    COMMENT "The Windows launcher's folder in ${KORVINA_PACKAGE_DIR}"
    VERBATIM)

include("${_resources}/installer.cmake")
korvina_add_installer(korvina_windows_installer PACKAGE_DIR "${KORVINA_PACKAGE_DIR}"
    OUTFILE "${CMAKE_BINARY_DIR}/korvina-setup.exe" VERSION "${PROJECT_VERSION}"
    DEPENDS korvina_windows_package)
