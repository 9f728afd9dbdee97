# The Windows installer, made by NSIS's makensis (Debian: apt-get install nsis) from
# korvina-setup.nsi beside this file.
#
#   korvina_add_installer(<target> PACKAGE_DIR <folder> OUTFILE <korvina-setup.exe>
#                         VERSION <x.y.z.w> [DEPENDS <targets or files>...] [ALL])
#
# PACKAGE_DIR holds the launcher as a player runs it, all of which is installed; DEPENDS is what
# fills it: targets (defined before this call) and outputs of custom commands in the same
# directory. The target runs makensis each time it is built, since what a package folder holds
# is known only once it is built; ALL makes it part of the default build. Without makensis there
# is no target, and the configuration says so.

set(KORVINA_INSTALLER_SCRIPT "${CMAKE_CURRENT_LIST_DIR}/korvina-setup.nsi")

function(korvina_add_installer name)
    cmake_parse_arguments(PARSE_ARGV 1 arg "ALL" "PACKAGE_DIR;OUTFILE;VERSION" "DEPENDS")
    foreach(required PACKAGE_DIR OUTFILE VERSION)
        if(NOT arg_${required})
            message(FATAL_ERROR "korvina_add_installer(${name}): ${required} is missing")
        endif()
    endforeach()

    find_program(MAKENSIS_EXECUTABLE makensis)
    if(MAKENSIS_EXECUTABLE AND NOT DEFINED CACHE{KORVINA_MAKENSIS_VERSION})
        execute_process(COMMAND "${MAKENSIS_EXECUTABLE}" -VERSION
                        OUTPUT_VARIABLE version OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
        set(KORVINA_MAKENSIS_VERSION "${version}" CACHE INTERNAL "")
    endif()
    if(NOT MAKENSIS_EXECUTABLE)
        message(WARNING "makensis was not found: no Windows installer (target ${name}). "
                        "Debian's package nsis brings it.")
        return()
    endif()
    # The script uses NSIS 3 (Unicode, Target).
    if(NOT KORVINA_MAKENSIS_VERSION MATCHES "^v?([3-9]|[1-9][0-9])\\.")
        message(WARNING "${MAKENSIS_EXECUTABLE} is NSIS '${KORVINA_MAKENSIS_VERSION}', "
                        "the installer needs NSIS 3: no target ${name}.")
        return()
    endif()

    set(here "${CMAKE_CURRENT_BINARY_DIR}")
    get_filename_component(package "${arg_PACKAGE_DIR}" ABSOLUTE BASE_DIR "${here}")
    get_filename_component(outfile "${arg_OUTFILE}" ABSOLUTE BASE_DIR "${here}")
    set(all)
    if(arg_ALL)
        set(all ALL)
    endif()
    # Targets come first as a whole; files, outputs of custom commands here, are brought up to date.
    set(targets)
    set(files)
    foreach(dependency IN LISTS arg_DEPENDS)
        if(TARGET ${dependency})
            list(APPEND targets ${dependency})
        else()
            list(APPEND files ${dependency})
        endif()
    endforeach()
    add_custom_target(${name} ${all}
        COMMAND "${MAKENSIS_EXECUTABLE}" -V2 "-DPACKAGE_DIR=${package}" "-DOUTFILE=${outfile}"
                "-DVERSION=${arg_VERSION}" "${KORVINA_INSTALLER_SCRIPT}"
        BYPRODUCTS "${outfile}"
        DEPENDS ${files}
        COMMENT "Making the installer ${outfile}"
        VERBATIM)
    if(targets)
        add_dependencies(${name} ${targets})
    endif()
endfunction()
