# The message table of the service's events (QEBCoreServiceEvents.mc),
# compiled with the toolchain's message compiler (windmc for mingw-w64,
# mc.exe for MSVC; both take -h and -r) into
#   QEBCoreServiceEvents.h   the event and category identifiers, for the code;
#   MSG00409.bin             the English texts, which qebcore.rc.in embeds as
#                            the service's MESSAGETABLE.
# Every including directory gets the paths; the first one also the build
# rule and the targets.
set(QEB_EVENT_MESSAGES_DIR "${CMAKE_BINARY_DIR}/resources/event_messages")
set(QEB_EVENT_MESSAGES_BIN "${QEB_EVENT_MESSAGES_DIR}/MSG00409.bin")
include_guard(GLOBAL)
set(_qeb_events_mc "${CMAKE_CURRENT_LIST_DIR}/QEBCoreServiceEvents.mc")

if(WIN32)
  if(CMAKE_RC_COMPILER MATCHES "^(.*-)windres$")
    set(_qeb_mc_names "${CMAKE_MATCH_1}windmc")
  endif()
  find_program(QEB_MESSAGE_COMPILER NAMES ${_qeb_mc_names} windmc mc REQUIRED)
  add_custom_command(
    OUTPUT "${QEB_EVENT_MESSAGES_DIR}/QEBCoreServiceEvents.h" "${QEB_EVENT_MESSAGES_BIN}"
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${QEB_EVENT_MESSAGES_DIR}"
    COMMAND "${QEB_MESSAGE_COMPILER}" -h "${QEB_EVENT_MESSAGES_DIR}" -r "${QEB_EVENT_MESSAGES_DIR}" "${_qeb_events_mc}"
    DEPENDS "${_qeb_events_mc}"
    COMMENT "Compiling the event message table"
    VERBATIM)
  add_custom_target(qeb_event_messages_gen
    DEPENDS "${QEB_EVENT_MESSAGES_DIR}/QEBCoreServiceEvents.h" "${QEB_EVENT_MESSAGES_BIN}")
endif()

add_library(qeb_event_messages INTERFACE)
target_include_directories(qeb_event_messages INTERFACE "${QEB_EVENT_MESSAGES_DIR}")
if(TARGET qeb_event_messages_gen)
  add_dependencies(qeb_event_messages qeb_event_messages_gen)
endif()
