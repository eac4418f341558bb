# cmake -DBPFTOOL=... -DOBJECT=... -DNAME=... -DOUTPUT=... -P bpf_skeleton.cmake
# The libbpf skeleton of a BPF object, as a header: bpftool writes it to its output.
execute_process(COMMAND ${BPFTOOL} gen skeleton ${OBJECT} name ${NAME} OUTPUT_FILE ${OUTPUT} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  file(REMOVE ${OUTPUT})
  message(FATAL_ERROR "bpftool gen skeleton ${OBJECT}: ${result}")
endif()
