# Run by CPack on the staged files of the .deb, before it packs them: adds
# Debian's documentation files and compresses the manual and the changelog
# (gzip -n: no name or time in the header, so the bytes depend on the content
# alone).
set(root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(doc "${root}/${CPACK_EMSGRAFT_DEBIAN_DOC_DIR}")
file(MAKE_DIRECTORY "${doc}")
file(COPY_FILE "${CPACK_EMSGRAFT_DEBIAN_COPYRIGHT}" "${doc}/copyright")
file(COPY_FILE "${CPACK_EMSGRAFT_DEBIAN_CHANGELOG}" "${doc}/changelog")
foreach(file "${doc}/changelog" "${root}/${CPACK_EMSGRAFT_DEBIAN_MAN_DIR}/emsgraft.1")
  execute_process(COMMAND gzip -9nf "${file}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip ${file}: ${status}")
  endif()
endforeach()
file(CHMOD "${doc}/copyright" "${doc}/changelog.gz" "${root}/${CPACK_EMSGRAFT_DEBIAN_MAN_DIR}/emsgraft.1.gz"
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
