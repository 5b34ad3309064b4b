// Hand-written stubs of the form the stub generator writes, with the user
// functions inlined, for the request protocol tests. Module "testmod".
#include <unistd.h>

#include <memory>

#include "wrapper_support.hxx"

extern "C" {
int add_scaled(DataExchange*);
int slow_product(DataExchange*);
int count_up(DataExchange*);
int ticker(DataExchange*);
int fill_range(DataExchange*);
int fails_early(DataExchange*);
int flood(DataExchange*);
// How often a user function of add_scaled, slow_product or count_up ran.
int user_runs = 0;
}

// FUNCTION double add_scaled(double a, int n)
int add_scaled(DataExchange *de) {
	if (de->GetDataServiceType() == PVM_PROXY_SERVICE) {
		de->PvmCallStart ("add_scaled");
	}
	double arg_0; receive_and_unpack (de, arg_0, 0);
	int arg_1; receive_and_unpack (de, arg_1, 0);
	de->done_with_arguments ();

 double ret;
	if (de->GetDataServiceType() == SOCKET_SERVICE ||  de->GetDataServiceType() == PVM_SLAVE_SERVICE) {
		ret = arg_0 * arg_1;
		__atomic_add_fetch(&user_runs, 1, __ATOMIC_SEQ_CST);
	}
	pack_and_send (de, ret);
	de->done_with_result ();
	return 1;
}

// THREAD double slow_product(double a, int n)
int slow_product(DataExchange *de) {
	double arg_0; receive_and_unpack (de, arg_0, 0);
	int arg_1; receive_and_unpack (de, arg_1, 0);
	de->done_with_arguments ();

	de->break_connection (1);

	if (de->SetScalarThread () <= 0) {
		return 0;
	}
 double ret;
	usleep(20000);
	__atomic_add_fetch(&user_runs, 1, __ATOMIC_SEQ_CST);
	ret = arg_0 * arg_1;
	pack_and_send (de, ret);
	return 1;
}

template<class T>
class EC_count_up : public ExcelChannel<T> {
	DataExchange *de;
public :
	EC_count_up (DataExchange *_de ) {
		de = _de;
	}
	int Send (T &return_value) {
		pack_and_send (de, return_value);
		return 1;
	}
};

// STREAM int count_up(ExcelChannel<int>* channel, int n)
int count_up(DataExchange *de) {
	int arg_0; receive_and_unpack (de, arg_0, 0);
	EC_count_up<int> excel_channel (de );
	de->done_with_arguments ();

	de->break_connection (2);

	if (de->SetScalarStream () <= 0) {
		return 0;
	}
	int ret;
	__atomic_add_fetch(&user_runs, 1, __ATOMIC_SEQ_CST);
	for (int i = 1; i <= arg_0; i++) {
		excel_channel.Send (i);
		usleep(5000);
	}
	ret = arg_0;
	(void)ret;
	de->EndScalarStream();
	return 1;
}

// STREAM int ticker(ExcelChannel<int>* channel): runs until stopped (at most
// about a minute).
int ticker(DataExchange *de) {
	EC_count_up<int> excel_channel (de );
	de->done_with_arguments ();

	de->break_connection (2);

	if (de->SetScalarStream () <= 0) {
		return 0;
	}
	for (int i = 0; i < 3000; i++) {
		excel_channel.Send (i);
		usleep(20000);
	}
	de->EndScalarStream();
	return 1;
}

// STREAM int flood(ExcelChannel<int>* channel): values as fast as the
// connection takes them, until stopped.
int flood(DataExchange *de) {
	EC_count_up<int> excel_channel (de );
	de->done_with_arguments ();

	de->break_connection (2);

	if (de->SetScalarStream () <= 0) {
		return 0;
	}
	for (int i = 0; i < 10000000; i++) {
		excel_channel.Send (i);
	}
	de->EndScalarStream();
	return 1;
}

// THREAD int fill_range(int n, double* values): fills values with 0.5, 1.5, ...
int fill_range(DataExchange *de) {
	int arg_0; receive_and_unpack (de, arg_0, 0);
	ResultRange<double> arg_1; receive_and_unpack (de, arg_1, 1);
	Range<double> *arg_1_range_ptr = &arg_1;
	de->done_with_arguments ();

	de->break_connection (1);

 int ret;
	double* values = arg_1_range_ptr->GetValue();
	for (int i = 0; i < arg_1_range_ptr->GetSize(); i++) values[i] = i + 0.5;
	ret = arg_0;
	int connection_status = de->make_connection (1);
	if (connection_status == 0) 
		pthread_cancel (pthread_self());
	pack_and_send (de, arg_1_range_ptr, 1);
	pack_and_send (de, ret);
	de->done_with_result ();
	return 1;
}

// THREAD int fails_early(int n): a stub that gives up before it releases the
// client (its library could not be loaded, say).
int fails_early(DataExchange *de) {
	int arg_0; receive_and_unpack (de, arg_0, 0);
	de->done_with_arguments ();
	return 0;
}

template<class T>
class EC_range_ticker : public ExcelChannel<T> {
	DataExchange *de;
public :
	EC_range_ticker (DataExchange *_de ) {
		de = _de;
	}
	int Send (T &return_value) {
		if (de->make_connection (1) == 0) {
			de->close_connection ();
			return 0;
		}
		pack_and_send (de, return_value);
			de->close_connection ();
		return 1;
	}
};

extern "C" {
int range_ticker(DataExchange*);
}

// STREAM int range_ticker(ExcelChannel<double*>* channel): one range per
// delivery connection until stopped (at most about a minute).
int range_ticker(DataExchange *de) {
	EC_range_ticker<Range<double> *> excel_channel (de );
	de->done_with_arguments ();

	de->break_connection (2);

	for (int i = 0; i < 3000; i++) {
		// Held by a destructor: a stop unwinds through here.
		std::unique_ptr<DoubleRange> owned(new DoubleRange(1, new double[1]{i + 0.5}));
		Range<double>* range = owned.get();
		excel_channel.Send (range);
		usleep(20000);
	}
	int connection_status = de->make_connection (-1);
	if (connection_status == 0) 
		pthread_cancel ( pthread_self() );
	de->done_with_result ();
	return 1;
}
