# `make install PREFIX=DIR` (cmake --install): vekos-run, the SDK and its
# manual below one prefix, laid out as vekos-cc expects to find them:
#   bin/               vekos-run, vekos-cc
#   include/vekos/     the public headers
#   lib/vekos/         libvekos.a, libvekos++.a, crt0.o, vekos.ld
#   share/doc/vekos/   README.md and docs/, the SDK reference
install(TARGETS vekos-run RUNTIME DESTINATION bin)
install(PROGRAMS ${CMAKE_BINARY_DIR}/sdk/installed/vekos-cc DESTINATION bin)
install(FILES ${VEKOS_PUBLIC_HEADERS} DESTINATION ${VEKOS_INSTALL_INCLUDE_DIR})
install(TARGETS vekos vekos_cxx ARCHIVE DESTINATION ${VEKOS_INSTALL_LIB_DIR})
install(FILES ${VEKOS_SDK_DIR}/lib/crt0.o ${VEKOS_LINKER_SCRIPT} DESTINATION ${VEKOS_INSTALL_LIB_DIR})
install(FILES README.md DESTINATION ${VEKOS_INSTALL_DOC_DIR})
install(DIRECTORY docs DESTINATION ${VEKOS_INSTALL_DOC_DIR})
