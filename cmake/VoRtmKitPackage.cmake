# vortm, the library apps link, and its installation: headers, library, CMake package
# (VoRtmKit::vortm) and vortm.pc. Static by default; -DBUILD_SHARED_LIBS=ON makes it one shared
# library that exports only what <vortm/...> marks VORTM_API.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# vortm is made of the subsystem libraries' objects, compiled once for both. It depends on what
# they depend on, less each other.
get_property(parts GLOBAL PROPERTY VORTM_PARTS)
set(objects "")
set(deps "")
foreach(part ${parts})
  list(APPEND objects $<TARGET_OBJECTS:${part}>)
  get_target_property(part_deps ${part} INTERFACE_LINK_LIBRARIES)
  list(TRANSFORM part_deps REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1")
  list(APPEND deps ${part_deps})
endforeach()
list(REMOVE_ITEM deps ${parts})
list(REMOVE_DUPLICATES deps)

add_library(vortm ${objects})
add_library(VoRtmKit::vortm ALIAS vortm)
target_include_directories(vortm PUBLIC
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
# Private even when static: an app's build sees only the include directory, and links the
# dependencies (CMake adds them to a static vortm's link line by itself).
target_link_libraries(vortm PRIVATE ${deps})
set_target_properties(vortm PROPERTIES
  VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
if(BUILD_SHARED_LIBS)
  set(export_map ${CMAKE_CURRENT_LIST_DIR}/vortm.map)
  target_link_options(vortm PRIVATE -Wl,--no-undefined -Wl,--version-script=${export_map})
  set_property(TARGET vortm APPEND PROPERTY LINK_DEPENDS ${export_map})
endif()

# Each dependency's CMake package and pkg-config module; a new dependency must be named here.
set(cmake_packages "")
set(pc_modules "")
set(pc_libs "")
set(needs_libsystemd OFF)
foreach(dep ${deps})
  string(REGEX MATCH "^([A-Za-z0-9_]+)::(.+)$" _ "${dep}")
  set(package ${CMAKE_MATCH_1})
  set(component ${CMAKE_MATCH_2})
  if(dep STREQUAL "Threads::Threads")
    list(APPEND pc_libs -pthread)
  elseif(dep STREQUAL "OpenSSL::SSL")
    list(APPEND pc_modules libssl)
  elseif(dep STREQUAL "OpenSSL::Crypto")
    list(APPEND pc_modules libcrypto)
  elseif(package STREQUAL "absl")
    list(APPEND pc_modules absl_${component})
  elseif(dep STREQUAL "spdlog::spdlog" OR dep STREQUAL "fmt::fmt")
    list(APPEND pc_modules ${package})
  elseif(dep STREQUAL "PkgConfig::LIBSYSTEMD")
    # No CMake package: the app's build finds it through pkg-config, as this build does.
    list(APPEND pc_modules libsystemd)
    set(needs_libsystemd ON)
    continue()
  else()
    message(FATAL_ERROR "vortm depends on ${dep}: name its package in ${CMAKE_CURRENT_LIST_FILE}")
  endif()
  list(APPEND cmake_packages ${package})
endforeach()
list(REMOVE_DUPLICATES cmake_packages)

# A shared vortm carries its dependencies; a static one leaves them to the app's link.
set(VORTM_FIND_DEPENDENCIES "")
set(VORTM_PC_PRIVATE "")
if(NOT BUILD_SHARED_LIBS)
  foreach(package ${cmake_packages})
    string(APPEND VORTM_FIND_DEPENDENCIES "find_dependency(${package})\n")
  endforeach()
  if(needs_libsystemd)
    string(APPEND VORTM_FIND_DEPENDENCIES [=[
find_dependency(PkgConfig)
pkg_check_modules(LIBSYSTEMD QUIET IMPORTED_TARGET libsystemd)
if(NOT TARGET PkgConfig::LIBSYSTEMD)
  set(VoRtmKit_FOUND FALSE)
  set(VoRtmKit_NOT_FOUND_MESSAGE "libsystemd (pkg-config module libsystemd) was not found")
  return()
endif()
]=])
  endif()
  # Their link flags rather than Requires.private, whose compile flags pkg-config would hand
  # to the app.
  execute_process(COMMAND ${PKG_CONFIG_EXECUTABLE} --libs --static ${pc_modules}
    OUTPUT_VARIABLE pc_module_libs OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "pkg-config knows not all of: ${pc_modules}")
  endif()
  list(JOIN pc_libs " " pc_libs)
  set(VORTM_PC_PRIVATE "Libs.private: ${pc_module_libs} ${pc_libs}\n")
endif()

set(cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/VoRtmKit)
install(DIRECTORY include/vortm TYPE INCLUDE)
install(TARGETS vortm EXPORT VoRtmKitTargets)
install(EXPORT VoRtmKitTargets NAMESPACE VoRtmKit:: DESTINATION ${cmake_dir})
configure_package_config_file(cmake/VoRtmKitConfig.cmake.in VoRtmKitConfig.cmake
  INSTALL_DESTINATION ${cmake_dir})
write_basic_package_version_file(VoRtmKitConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VoRtmKitConfig.cmake
  ${PROJECT_BINARY_DIR}/VoRtmKitConfigVersion.cmake DESTINATION ${cmake_dir})

# vortm.pc finds the prefix from its own place, so the tree may be installed anywhere.
set(pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH VORTM_PC_PREFIX /prefix/${pc_dir} /prefix)
string(REGEX REPLACE "/$" "" VORTM_PC_PREFIX "${VORTM_PC_PREFIX}")
configure_file(cmake/vortm.pc.in vortm.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vortm.pc DESTINATION ${pc_dir})

# The programs for app developers: the chat example and the local test service.
foreach(program vortm-chat vortm-local-service)
  if(TARGET ${program})
    set_target_properties(${program} PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
    install(TARGETS ${program})
  endif()
endforeach()
