# Installs the python component into PREFIX and imports the module from there with the system
# interpreter; fails unless libtyx_client_common comes from PREFIX too.
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --component python --prefix ${PREFIX}
                RESULT_VARIABLE installed)
if(NOT installed EQUAL 0)
  message(FATAL_ERROR "install failed")
endif()
set(check [=[
import sys, tyx_client
prefix = sys.argv[1]
assert tyx_client.__file__.startswith(prefix), tyx_client.__file__
assert tyx_client.aio.__file__.startswith(prefix), tyx_client.aio.__file__
libs = [l.split()[-1] for l in open("/proc/self/maps") if "libtyx_client_common" in l]
assert libs and all(l.startswith(prefix) for l in libs), libs
with tyx_client.Sandbox() as sandbox, tyx_client.TyxClient() as client:
    client.add_cluster(sandbox.cluster("c"))
    assert client.sql("c", "SELECT 1 AS one").to_numpy()["one"][0] == 1
print("installed module works")
]=])
execute_process(COMMAND ${CMAKE_COMMAND} -E env PYTHONPATH=${PREFIX}/${MODULE_DIR} PYTHONDONTWRITEBYTECODE=1
                        ${PYTHON} -c "${check}" ${PREFIX}
                RESULT_VARIABLE imported)
if(NOT imported EQUAL 0)
  message(FATAL_ERROR "the installed module did not work")
endif()
