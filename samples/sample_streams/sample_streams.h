// Live threads that stream clock readings and random ranges through an ExcelChannel.
// Functions with an interval and a duration send duration / interval values, one
// every interval seconds; an interval below 1 counts as 1.
#ifndef VELMOR_SAMPLES_SAMPLE_STREAMS_H_
#define VELMOR_SAMPLES_SAMPLE_STREAMS_H_

#include "wrapper_support.hxx"

int show_time(ExcelChannel<char*>* channel, int interval, int duration);
int show_hour(ExcelChannel<int>* channel, int count);
int show_minute(ExcelChannel<int>* channel, int count);
int show_second(ExcelChannel<int>* channel, int interval, int duration);
int show_elapsed(ExcelChannel<long>* channel, int interval, int duration);
int jumping_array(ExcelChannel<DoubleRange*>* channel, int interval, int duration);

#endif
