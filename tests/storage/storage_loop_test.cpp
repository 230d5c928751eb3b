int dummy_loop_tests;
