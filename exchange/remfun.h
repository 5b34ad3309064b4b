// Type of a generated stub entry point.
#ifndef VELMOR_EXCHANGE_REMFUN_H_
#define VELMOR_EXCHANGE_REMFUN_H_

class DataExchange;
typedef int (*REMFUN)(DataExchange*);

#endif
