# name, expected exit code
rootscope_golden(empty_machine 0)
