# What `cmake --install` puts where, and the Debian packages made from it.
# Included at the end of the top-level CMakeLists.txt, once every target
# exists.
#
#   lib/libnsvslorfx.so.2.0   the Neuroshare library hosts load (SONAME
#                             libnsvslorfx.so.2), with the libnsvslorfx.so link
#   lib/libvslk64.a           the file-access library, one archive
#   bin/nsinfo, bin/nsconvert
#   include/vslk64/           CKel64File and what its callers need
#   include/nsvslorfx/ns_api.h
#   lib/cmake/{vslk64,nsvslorfx}/, lib/pkgconfig/{vslk64,nsvslorfx}.pc
#
# Two components: "runtime" (the shared library and the tools) and "dev"
# (everything a program that builds against the libraries needs), one
# Debian package each.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The library's file version is the version ns_GetLibraryInfo reports
# (project version); the SONAME changes with the major number only. Windows
# hosts look for nsvslorfx.dll by that name alone.
if(NOT WIN32)
  set_target_properties(nsvslorfx PROPERTIES VERSION ${PROJECT_VERSION}
                                             SOVERSION ${PROJECT_VERSION_MAJOR})
endif()

# libvslk64.a: the three archives of the file-access library as one, from
# the objects already compiled for them, so a recording program links one
# library and finds every format in it.
add_library(vslk64 STATIC $<TARGET_OBJECTS:vslcommon> $<TARGET_OBJECTS:vslorfx>
                          $<TARGET_OBJECTS:vslorf>)
target_include_directories(vslk64 INTERFACE
                           $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_link_libraries(vslk64 INTERFACE Threads::Threads ${CMAKE_DL_LIBS})
target_compile_features(vslk64 INTERFACE cxx_std_17)

target_include_directories(nsvslorfx INTERFACE
                           $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

# An installed nsinfo finds the installed library from its own folder
# (bin/../lib/...), wherever the tree was installed or unpacked; the build
# tree's places come first (tools/nsinfo.cc).
if(NOT WIN32)
  file(RELATIVE_PATH nsv_lib_from_bin ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
  target_compile_definitions(nsinfo PRIVATE
    NSINFO_INSTALLED_LIBRARY="${nsv_lib_from_bin}/$<TARGET_SONAME_FILE_NAME:nsvslorfx>")
endif()

install(TARGETS nsvslorfx EXPORT nsvslorfxTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(TARGETS nsinfo nsconvert RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
install(TARGETS vslk64 EXPORT vslk64Targets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)

# The interface, shared types, status codes, marker filter and the record of
# where a file was found damaged: what a CKel64File user includes. They
# include one another by sibling name, so they read the same in the source
# tree and in include/vslk64/.
install(FILES ${PROJECT_SOURCE_DIR}/filelib/kel64_file.h ${PROJECT_SOURCE_DIR}/filelib/kel64_types.h
              ${PROJECT_SOURCE_DIR}/filelib/mark_filter.h ${PROJECT_SOURCE_DIR}/filelib/status.h
              ${PROJECT_SOURCE_DIR}/filelib/corruption.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vslk64 COMPONENT dev)
install(FILES ${PROJECT_SOURCE_DIR}/neuroshare/ns_api.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/nsvslorfx COMPONENT dev)

# CMake packages: find_package(vslk64 CONFIG) and find_package(nsvslorfx
# CONFIG). The exported target files locate the prefix from where they are.
set(nsv_config_in ${CMAKE_CURRENT_LIST_DIR}/packageConfig.cmake.in)
foreach(nsv_package vslk64 nsvslorfx)
  set(nsv_config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/${nsv_package})
  set(NSV_PACKAGE ${nsv_package})
  if(nsv_package STREQUAL "vslk64")
    set(NSV_PACKAGE_DEPENDENCIES "find_dependency(Threads)")
  else()
    set(NSV_PACKAGE_DEPENDENCIES "")
  endif()
  configure_package_config_file(${nsv_config_in}
    ${PROJECT_BINARY_DIR}/package/${nsv_package}Config.cmake
    INSTALL_DESTINATION ${nsv_config_dir})
  write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/${nsv_package}ConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
  install(EXPORT ${nsv_package}Targets NAMESPACE ${nsv_package}::
          DESTINATION ${nsv_config_dir} COMPONENT dev)
  install(FILES ${PROJECT_BINARY_DIR}/package/${nsv_package}Config.cmake
                ${PROJECT_BINARY_DIR}/package/${nsv_package}ConfigVersion.cmake
          DESTINATION ${nsv_config_dir} COMPONENT dev)
endforeach()

# pkg-config files. Their prefix is found from the folder they lie in
# (${pcfiledir}), so one file serves every install prefix, a temporary one
# included.
set(nsv_pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
foreach(nsv_dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${nsv_dir}}")
    set(NSV_PC_${nsv_dir} "${CMAKE_INSTALL_${nsv_dir}}")
  else()
    set(NSV_PC_${nsv_dir} "\${prefix}/${CMAKE_INSTALL_${nsv_dir}}")
  endif()
endforeach()
file(RELATIVE_PATH NSV_PC_PREFIX_FROM_PCDIR ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig
     ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" NSV_PC_PREFIX_FROM_PCDIR "${NSV_PC_PREFIX_FROM_PCDIR}")
string(REPLACE ";" " -l" NSV_PC_DL_LIBS "${CMAKE_DL_LIBS}")
if(NSV_PC_DL_LIBS)
  set(NSV_PC_DL_LIBS "-l${NSV_PC_DL_LIBS}")
endif()
foreach(nsv_package vslk64 nsvslorfx)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${nsv_package}.pc.in
                 ${PROJECT_BINARY_DIR}/package/${nsv_package}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/package/${nsv_package}.pc DESTINATION ${nsv_pc_dir}
          COMPONENT dev)
endforeach()

# Debian packages (scripts/package.sh): nsvslorfx with the library and the
# tools, nsvslorfx-dev with the rest. Configure with
# -DCMAKE_INSTALL_PREFIX=/usr so the library lands in Debian's multiarch
# folder.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME nsvslorfx)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "nsvslorfx maintainers <nsvslorfx@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Neuroshare 1.3 library for Ondrix recordings (ORF, ORFX)")
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_COMPONENTS_ALL runtime dev)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME nsvslorfx)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
string(CONCAT CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "libnsvslorfx.so.2, which analysis hosts load to read ORF and ORFX recordings,\n"
  "nsinfo, which inspects a recording through it, and nsconvert, which copies\n"
  "recordings between the two formats.")
set(CPACK_DEBIAN_DEV_PACKAGE_NAME nsvslorfx-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
string(CONCAT CPACK_COMPONENT_DEV_DESCRIPTION
  "The static file-access library libvslk64.a with its headers (include/vslk64/),\n"
  "through which recording programs create and write ORF and ORFX files, the\n"
  "Neuroshare header ns_api.h for hosts that link the library, and the CMake\n"
  "and pkg-config files of both.")
include(CPack)
