# Version record, icon, application manifest and service texts for the
# product's executables, compiled with the toolchain's resource compiler
# (windres for mingw-w64, rc.exe for MSVC).
#
#   qeb_add_version_resources(<target> <original-filename> <description>
#                             [SERVICE_STRINGS] [VERSION <major.minor.patch>])
#
# The version comes from the top-level project(); VERSION overrides it for a
# program built as another release of the product (the installer's upgrade
# package). A build
# with the development signing identity marks its files as private builds.
# SERVICE_STRINGS adds the string table with the service's display name and
# description (en-US and de-DE), which installers may reference, and the
# message table of the service's events (EventMessages.cmake).

set(_QEB_RESOURCES_DIR "${CMAKE_CURRENT_LIST_DIR}")
include("${CMAKE_CURRENT_LIST_DIR}/EventMessages.cmake")

set(QEB_COMPANY_NAME "Velant")
set(QEB_PRODUCT_NAME "QEBCore")
string(TIMESTAMP _qeb_year "%Y" UTC)  # honours SOURCE_DATE_EPOCH
set(QEB_LEGAL_COPYRIGHT "Copyright (C) ${_qeb_year} Velant. All rights reserved.")
set(QEB_DEV_BUILD_NOTE "Development build - not for release")
set(QEB_CONTAINER_DESCRIPTION "QEBCore Container")

# Identity of the MSI package across all its versions: never change it.
set(QEB_MSI_UPGRADE_CODE "DA888F43-6533-415D-9BEA-C4132646D2A7")

# The service's texts; the installer registers the English ones.
set(QEB_SERVICE_NAME "QEBCoreService")
set(QEB_SERVICE_DISPLAY_NAME "QEBCore Service")
set(QEB_SERVICE_DESCRIPTION
    "Keeps the QEBCore container running: starts QEBCoreContainer.exe, restarts it whenever it exits and passes session changes on to it.")
set(QEB_SERVICE_DISPLAY_NAME_DE "QEBCore-Dienst")
set(QEB_SERVICE_DESCRIPTION_DE
    "Hält den QEBCore-Container in Betrieb: startet QEBCoreContainer.exe, startet ihn neu, sobald er endet, und leitet Sitzungswechsel an ihn weiter.")

# qeb_version_parts(<version> <prefix>): <prefix>_major, _minor, _patch and
# _tweak of a dotted version, missing parts 0.
function(qeb_version_parts version prefix)
  string(REPLACE "." ";" parts "${version}")
  list(APPEND parts 0 0 0 0)
  list(GET parts 0 major)
  list(GET parts 1 minor)
  list(GET parts 2 patch)
  list(GET parts 3 tweak)
  foreach(part major minor patch tweak)
    if(NOT "${${part}}" MATCHES "^[0-9]+$")
      message(FATAL_ERROR "version ${version}: not numeric")
    endif()
    set(${prefix}_${part} ${${part}} PARENT_SCOPE)
  endforeach()
endfunction()

function(qeb_add_version_resources target original_filename description)
  cmake_parse_arguments(ARG "SERVICE_STRINGS" "VERSION" "" ${ARGN})
  if(NOT TARGET ${target})
    message(FATAL_ERROR "qeb_add_version_resources: no target ${target}")
  endif()
  if(NOT ARG_VERSION)
    set(ARG_VERSION "${CMAKE_PROJECT_VERSION}")
  endif()

  qeb_version_parts("${ARG_VERSION}" v)
  set(QEB_RC_VERSION_COMMAS "${v_major},${v_minor},${v_patch},${v_tweak}")
  set(QEB_RC_VERSION_TEXT "${ARG_VERSION}")

  set(QEB_RC_ORIGINAL_FILENAME "${original_filename}")
  get_filename_component(QEB_RC_INTERNAL_NAME "${original_filename}" NAME_WE)
  set(QEB_RC_FILE_DESCRIPTION "${description}")
  set(QEB_RC_ICON "${_QEB_RESOURCES_DIR}/qebcore.ico")
  set(QEB_RC_MANIFEST "${_QEB_RESOURCES_DIR}/qebcore.manifest")
  set(QEB_RC_IDS_HEADER "${_QEB_RESOURCES_DIR}/resource_ids.h")

  if(QEB_DEV_IDENTITY)
    set(QEB_RC_DEV_BUILD 1)
    set(QEB_RC_FILEFLAGS "VS_FF_PRIVATEBUILD")
  else()
    set(QEB_RC_DEV_BUILD 0)
    set(QEB_RC_FILEFLAGS "0x0L")
  endif()
  set(rc_depends)
  if(ARG_SERVICE_STRINGS)
    set(QEB_RC_SERVICE_STRINGS 1)
    add_dependencies(${target} qeb_event_messages_gen)
    set(rc_depends "${QEB_EVENT_MESSAGES_BIN}")
  else()
    set(QEB_RC_SERVICE_STRINGS 0)
  endif()

  # MSVC's linker writes the manifest resource itself and would reject a
  # second one; it takes ours as a merge input instead.
  if(MSVC)
    set(QEB_RC_EMBED_MANIFEST 0)
    target_sources(${target} PRIVATE "${QEB_RC_MANIFEST}")
    target_link_options(${target} PRIVATE /MANIFESTUAC:NO)
  else()
    set(QEB_RC_EMBED_MANIFEST 1)
  endif()

  set(rc "${CMAKE_BINARY_DIR}/resources/${target}.rc")
  configure_file("${_QEB_RESOURCES_DIR}/qebcore.rc.in" "${rc}" @ONLY)
  target_sources(${target} PRIVATE "${rc}")
  # The resource compiler reports no included files to the build tool.
  set_source_files_properties("${rc}" TARGET_DIRECTORY ${target} PROPERTIES
    OBJECT_DEPENDS "${QEB_RC_ICON};${QEB_RC_MANIFEST};${QEB_RC_IDS_HEADER};${rc_depends}")
endfunction()
