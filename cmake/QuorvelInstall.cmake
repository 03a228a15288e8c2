# Installation of the terminal, laid out as a Debian package would:
#   <libdir>/quorvel/   the program, the chart library, Resources/, the
#                       default TradeConfig.xml and the cloud CA certificate
#   <bindir>/quorvel    a launcher that runs the program in a working folder
#                       of the user's, since the program reads its files from
#                       the working directory
# The quote API library installs itself (kivquoteapi/). The stand-in servers,
# tests and benchmarks are not installed.
include(GNUInstallDirs)

set(QUORVEL_PROGRAM_DIR ${CMAKE_INSTALL_LIBDIR}/quorvel)

install(TARGETS Quorvel RUNTIME DESTINATION ${QUORVEL_PROGRAM_DIR})
install(TARGETS chartell LIBRARY DESTINATION ${QUORVEL_PROGRAM_DIR})
# Debug information names the build folder; the installed files carry none
# (a Debian package ships it apart), the build tree keeps it.
install(CODE "
  foreach(_file Quorvel libchartell.so)
    execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --strip-debug
      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${QUORVEL_PROGRAM_DIR}/\${_file}\" RESULT_VARIABLE _failed)
    if(_failed)
      message(FATAL_ERROR \"cannot strip the debug information of \${_file}\")
    endif()
  endforeach()")
install(DIRECTORY ${QUORVEL_RESOURCES_DIR}/ DESTINATION ${QUORVEL_PROGRAM_DIR}/Resources)
install(FILES ${PROJECT_SOURCE_DIR}/resources/TradeConfig.xml DESTINATION ${QUORVEL_PROGRAM_DIR})
if(QUORVEL_CLOUD_CA_FILE AND NOT IS_ABSOLUTE "${QUORVEL_CLOUD_CA_FILE}")
  install(FILES ${CMAKE_BINARY_DIR}/bin/${QUORVEL_CLOUD_CA_FILE} DESTINATION ${QUORVEL_PROGRAM_DIR})
endif()

# The launcher finds the program relative to itself, so the installed tree can move.
file(RELATIVE_PATH QUORVEL_LAUNCHER_TO_PROGRAM
  ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR} ${CMAKE_INSTALL_PREFIX}/${QUORVEL_PROGRAM_DIR})
configure_file(${PROJECT_SOURCE_DIR}/scripts/quorvel.in ${CMAKE_BINARY_DIR}/launcher/quorvel @ONLY)
install(PROGRAMS ${CMAKE_BINARY_DIR}/launcher/quorvel DESTINATION ${CMAKE_INSTALL_BINDIR})
