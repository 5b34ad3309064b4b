# What a site installs, and the Debian package made of it (cpack -G DEB).
#
# Layout under the prefix (/usr for the package):
#   bin/                       Velmord, wrapgen, pvm_worker, velmor_client
#   LIBDIR/                    the channel library and the two it links, with SONAMEs
#   LIBDIR/pkgconfig/velmor.pc for user libraries: $(pkg-config --cflags --libs velmor)
#   include/velmor/            wrapper_support.hxx and the headers it includes
#   libexec/velmor/            VELMOR_BIN_DIR: system.info, Velmor.sh, pvm_worker (link)
#   LIBDIR/velmor/samples/     the sample libraries
#   share/velmor/samples/      their definition files and VBA module files
#   lib/systemd/system/        velmord.service
#   etc/default/velmord        the service's settings (/etc/default/velmord for /usr)
# The programs and libraries find each other through $ORIGIN, so that an
# installed tree works wherever it lies (a DESTDIR, another prefix).
include(GNUInstallDirs)

set(VELMOR_VERSION 1.0.0)
set(VELMOR_SOVERSION 1)

set(VELMOR_INSTALL_FILES_DIR ${CMAKE_INSTALL_LIBEXECDIR}/velmor)
set(VELMOR_SAMPLE_LIB_DIR ${CMAKE_INSTALL_LIBDIR}/velmor/samples)
set(VELMOR_SAMPLE_DEF_DIR ${CMAKE_INSTALL_DATADIR}/velmor/samples)

# Relative paths between installed directories (the prefix cancels out).
function(velmor_relative out from to)
  file(RELATIVE_PATH rel /prefix/${from} /prefix/${to})
  set(${out} ${rel} PARENT_SCOPE)
endfunction()
velmor_relative(bin_to_lib ${CMAKE_INSTALL_BINDIR} ${CMAKE_INSTALL_LIBDIR})
velmor_relative(samples_to_lib ${VELMOR_SAMPLE_LIB_DIR} ${CMAKE_INSTALL_LIBDIR})
velmor_relative(files_to_worker ${VELMOR_INSTALL_FILES_DIR} ${CMAKE_INSTALL_BINDIR}/pvm_worker)
velmor_relative(defs_to_sample_libs ${VELMOR_SAMPLE_DEF_DIR} ${VELMOR_SAMPLE_LIB_DIR})

# --- Programs and libraries -------------------------------------------------
set(VELMOR_SHARED_LIBS velmor_channel velmor_line velmor_pvmbuf)
set_target_properties(${VELMOR_SHARED_LIBS} PROPERTIES
  VERSION ${VELMOR_VERSION} SOVERSION ${VELMOR_SOVERSION} INSTALL_RPATH "$ORIGIN")
set(VELMOR_PROGRAMS Velmord wrapgen pvm_worker velmor_client)
set_target_properties(${VELMOR_PROGRAMS} PROPERTIES INSTALL_RPATH "$ORIGIN/${bin_to_lib}")
install(TARGETS ${VELMOR_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS ${VELMOR_SHARED_LIBS} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})

# What a user library and a generated stub include: the value types' header
# and what it includes.
install(FILES
  exchange/wrapper_support.hxx exchange/data_exchange.h exchange/execution_model.h
  exchange/remfun.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/velmor)

# --- Samples ----------------------------------------------------------------
set(VELMOR_SAMPLES sample_employee_db sample_streams sample_threads text_file_transfer)
set_target_properties(${VELMOR_SAMPLES} PROPERTIES INSTALL_RPATH "$ORIGIN/${samples_to_lib}")
install(TARGETS ${VELMOR_SAMPLES} LIBRARY DESTINATION ${VELMOR_SAMPLE_LIB_DIR})
# The definition files of the repository name the libraries of build/; the
# installed ones name the installed libraries, relative to themselves.
file(GLOB VELMOR_SAMPLE_DEFS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/samples/*.def)
foreach(def ${VELMOR_SAMPLE_DEFS})
  get_filename_component(name ${def} NAME)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${def})
  file(READ ${def} text)
  string(REPLACE "../build/lib/" "${defs_to_sample_libs}/" text "${text}")
  string(REPLACE "// Paths are relative to this file: the libraries of the build tree build/."
                 "// Paths are relative to this file." text "${text}")
  file(WRITE ${CMAKE_BINARY_DIR}/install/samples/${name} "${text}")
  install(FILES ${CMAKE_BINARY_DIR}/install/samples/${name} DESTINATION ${VELMOR_SAMPLE_DEF_DIR})
endforeach()
install(DIRECTORY samples/vba DESTINATION ${VELMOR_SAMPLE_DEF_DIR} FILES_MATCHING PATTERN "*.bas")

# --- Files that name the prefix, written at install time --------------------
# velmor.pc, system.info, the unit and its settings name the prefix the tree
# is installed under, also one given only at install time ("cmake --install
# --prefix", or cpack's /usr). The stubs are compiled the way a user library
# is, with velmor.pc; a stub loaded into an instrumented server is
# instrumented the same way.
set(VELMOR_STUB_FLAGS "")
if(VELMOR_SANITIZE)
  set(VELMOR_STUB_FLAGS "-fsanitize=address,undefined -fno-omit-frame-pointer ")
endif()
if(VELMOR_TSAN)
  set(VELMOR_STUB_FLAGS "-fsanitize=thread -fno-omit-frame-pointer ")
endif()
install(CODE "
  set(prefix \"\${CMAKE_INSTALL_PREFIX}\")
  set(libdir \"\${prefix}/${CMAKE_INSTALL_LIBDIR}\")
  set(includedir \"\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}\")
  set(pcdir \"\${libdir}/pkgconfig\")
  set(sysconfdir \"\${prefix}/etc\")
  if(prefix STREQUAL \"/usr\")
    set(sysconfdir /etc)
  endif()
  set(VELMOR_VERSION \"${VELMOR_VERSION}\")
  set(VELMOR_STUB_FLAGS \"${VELMOR_STUB_FLAGS}\")
  set(VELMOR_DEFAULT_FILE \"\${sysconfdir}/default/velmord\")
  set(VELMOR_FULL_BINDIR \"\${prefix}/${CMAKE_INSTALL_BINDIR}\")
  set(VELMOR_FULL_INSTALL_FILES_DIR \"\${prefix}/${VELMOR_INSTALL_FILES_DIR}\")
  set(VELMOR_FULL_SAMPLES_DIR \"\${prefix}/${VELMOR_SAMPLE_DEF_DIR}\")
  set(root \"\$ENV{DESTDIR}\")
  foreach(pair
      \"exchange/velmor.pc.in|\${pcdir}/velmor.pc\"
      \"wrappers/system.info.install.in|\${VELMOR_FULL_INSTALL_FILES_DIR}/system.info\"
      \"server/velmord.service.in|\${prefix}/lib/systemd/system/velmord.service\"
      \"server/velmord.default.in|\${VELMOR_DEFAULT_FILE}\")
    string(REPLACE \"|\" \";\" pair \"\${pair}\")
    list(GET pair 0 from)
    list(GET pair 1 to)
    message(STATUS \"Installing: \${root}\${to}\")
    configure_file(\"${CMAKE_SOURCE_DIR}/\${from}\" \"\${root}\${to}\" @ONLY)
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${root}\${to}\")
  endforeach()
")

# --- Worker start script ----------------------------------------------------
# Velmor.sh starts the pvm_worker beside it: a link to the installed program.
install(PROGRAMS pvm/Velmor.sh DESTINATION ${VELMOR_INSTALL_FILES_DIR})
install(CODE "
  set(link \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${VELMOR_INSTALL_FILES_DIR}/pvm_worker\")
  message(STATUS \"Installing: \${link}\")
  file(CREATE_LINK \"${files_to_worker}\" \"\${link}\" SYMBOLIC)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${link}\")
")

# --- Debian package ---------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velmor)
set(CPACK_PACKAGE_VERSION ${VELMOR_VERSION})
set(CPACK_PACKAGE_CONTACT "Velmor maintainers <velmor@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "serves C and C++ library functions to Excel workbooks")
set(CPACK_PACKAGE_DESCRIPTION
  "Velmord generates and compiles a stub library for each definition file and serves the\n\
functions it declares to Excel clients over TCP; wrapgen builds the same glue ahead of\n\
time, pvm_worker runs calls on other hosts through PVM, velmor_client is a command-line\n\
client. Includes the header and pkg-config file for user libraries, the samples and a\n\
systemd service.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Libraries through dpkg-shlibdeps; at run time the server also compiles
# stubs (a C++ compiler, pkg-config), lists symbols (binutils) and starts
# PVM tasks (pvm); the maintainer scripts create the system user (adduser).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "pvm, g++ | c++-compiler, binutils, pkgconf | pkg-config, adduser")
file(WRITE ${CMAKE_BINARY_DIR}/install/conffiles "/etc/default/velmord\n")
# The shared libraries are new to the loader's cache.
file(WRITE ${CMAKE_BINARY_DIR}/install/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_BINARY_DIR}/install/conffiles
  ${CMAKE_BINARY_DIR}/install/triggers
  ${CMAKE_SOURCE_DIR}/server/debian/postinst
  ${CMAKE_SOURCE_DIR}/server/debian/prerm
  ${CMAKE_SOURCE_DIR}/server/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
